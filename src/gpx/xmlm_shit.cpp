#include "gpx/xmlm_shit.h"

#include <expat.h>
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>

#include "common/failure.h"
#include "common/text.h"

namespace plotr::xmlm_shit {

namespace {

constexpr size_t block_size = size_t{64} * 1024;

// Cannot occur in XML 1.0 text, so it never appears inside a namespace URI.
constexpr XML_Char namespace_separator = '\x01';

std::string_view local_name(const XML_Char* name) {
    const char* separator = std::strrchr(name, namespace_separator);
    return separator ? std::string_view(separator + 1) : std::string_view(name);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

void append_utf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// Unicode of each byte of a single-byte encoding; -1 where a byte is not a character.
using Byte_map = std::array<int, 256>;

// The one code point that a UTF-8 text holds, or -1.
int single_code_point(std::string_view utf8) {
    if (utf8.empty()) return -1;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(utf8[i]); };
    const size_t length = byte(0) < 0x80 ? 1 : byte(0) < 0xE0 ? 2 : byte(0) < 0xF0 ? 3 : 4;
    if (utf8.size() != length) return -1;
    int code = length == 1 ? byte(0) : byte(0) & (0x3F >> (length - 1));
    for (size_t i = 1; i < length; ++i) code = code << 6 | (byte(i) & 0x3F);
    return code;
}

// The table of a single-byte encoding as the C library converts it, or false when iconv
// does not know the name or some byte starts a longer sequence.
bool single_byte_map(const char* name, Byte_map& map) {
    const iconv_t converter = iconv_open("UTF-8", name);
    if (converter == iconv_t(-1)) return false;
    bool single = true;
    for (int byte = 0; byte < 256 && single; ++byte) {
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        char in = char(byte);
        char out[8];
        char* in_at = &in;
        char* out_at = out;
        size_t in_left = 1;
        size_t out_left = sizeof out;
        size_t done = iconv(converter, &in_at, &in_left, &out_at, &out_left);
        if (done == size_t(-1) && errno == EINVAL) single = false;
        // A converter may hold a character back to combine it with the next
        // (windows-1258 does): the flush gives it.
        if (done != size_t(-1)) done = iconv(converter, nullptr, nullptr, &out_at, &out_left);
        map[byte] = done == size_t(-1) ? -1 : single_code_point({out, size_t(out_at - out)});
    }
    iconv_close(converter);
    return single;
}

// The raw bytes of a start tag as UTF-8. The tag opens with '<', so a zero byte next to it
// gives UTF-16 and its byte order; the 8-bit encodings differ only above 0x7F, where
// `map` (when given) holds their characters.
std::string tag_to_utf8(std::string_view raw, const Byte_map* map) {
    std::string out;
    out.reserve(raw.size());
    const bool big_endian = raw.size() >= 2 && raw[0] == '\0';
    const bool little_endian = raw.size() >= 2 && raw[1] == '\0';
    if (big_endian || little_endian) {
        const auto unit = [&](size_t i) {
            const auto high = static_cast<unsigned char>(raw[big_endian ? i : i + 1]);
            const auto low = static_cast<unsigned char>(raw[big_endian ? i + 1 : i]);
            return (unsigned long)high << 8 | low;
        };
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            unsigned long code = unit(i);
            if (code >= 0xD800 && code < 0xDC00 && i + 3 < raw.size()) {
                code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
                i += 2;
            }
            append_utf8(out, code);
        }
    } else if (map) {
        for (const unsigned char c : raw) append_utf8(out, unsigned((*map)[c]));
    } else {
        out = raw;
    }
    return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// An attribute value as the parser would deliver it: references replaced, each line end,
// tab or newline turned into one space. Returns the offset of a reference to an entity
// other than the predefined ones, or npos.
size_t decode_attribute_value(std::string_view raw, std::string& out) {
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '&') {
            const size_t end = raw.find(';', i);
            if (end == std::string_view::npos) return i;
            const std::string_view name = raw.substr(i + 1, end - i - 1);
            if (name.starts_with("#x")) {
                append_utf8(out, std::stoul(std::string(name.substr(2)), nullptr, 16));
            } else if (name.starts_with('#')) {
                append_utf8(out, std::stoul(std::string(name.substr(1)), nullptr, 10));
            } else if (name == "lt") {
                out += '<';
            } else if (name == "gt") {
                out += '>';
            } else if (name == "amp") {
                out += '&';
            } else if (name == "apos") {
                out += '\'';
            } else if (name == "quot") {
                out += '"';
            } else {
                return i;
            }
            i = end;
        } else if (c == '\r') {
            out += ' ';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        } else {
            out += c == '\n' || c == '\t' ? ' ' : c;
        }
    }
    return std::string_view::npos;
}

struct Parser_deleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

const std::string* Tag::attribute(std::string_view name) const {
    for (const Attribute& attribute : attributes())
        if (attribute.name == name) return &attribute.value;
    return nullptr;
}

void Tag::reset(std::string_view name, long line, long column) {
    name_.assign(name);
    count_ = 0;
    line_ = line;
    column_ = column;
}

void Tag::add_attribute(std::string_view name, std::string_view value) {
    if (count_ == attributes_.size()) attributes_.emplace_back();
    attributes_[count_].name.assign(name);
    attributes_[count_].value.assign(value);
    ++count_;
}

Fd_source::Fd_source(int fd) : fd_(fd) {}

size_t Fd_source::read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) throw sys_error(std::strerror(errno));
    }
}

String_source::String_source(std::string text, size_t chunk)
    : text_(std::move(text)), chunk_(std::max<size_t>(chunk, 1)) {}

size_t String_source::read(char* buffer, size_t size) {
    const size_t count = std::min({size, chunk_, text_.size() - at_});
    text_.copy(buffer, count, at_);
    at_ += count;
    return count;
}

// Expat pushes events into a queue that is refilled one input block at a time and reused,
// so memory stays flat; the reader pops from it. An error found while parsing a block is
// kept until the signals before it have been taken.
struct Reader::Parser {
    struct Slot {
        Signal::Kind kind;
        Tag tag;
        std::string text;  // of an end, when text is kept
    };

    Byte_source& input;
    std::unique_ptr<XML_ParserStruct, Parser_deleter> xml;
    std::vector<Slot> queue;
    size_t head = 0;
    size_t size = 0;
    std::exception_ptr error;

    // Parser side: elements open in the input, and what the document has shown so far.
    long open_elements = 0;
    bool root_ended = false;
    bool stopped = false;
    bool has_doctype = false;
    // The characters of a single-byte document, which expat's own UTF-8 leaves out.
    bool single_byte = false;
    Byte_map byte_map{};
    bool element_declares_namespace = false;
    bool started = false;
    bool any_input = false;

    // Reader side: the tags of the open elements, by depth; a deque keeps them in place.
    std::deque<Tag> open_tags;
    size_t depth = 0;

    // Text of the innermost open element while it has no child; only when kept.
    bool keep_text = false;
    bool in_leaf = false;
    std::string leaf;

    Parser(Byte_source& source, bool keep)
        : input(source), xml(XML_ParserCreateNS(nullptr, namespace_separator)), keep_text(keep) {
        if (!xml) throw std::bad_alloc();
        XML_SetUserData(xml.get(), this);
        XML_SetElementHandler(xml.get(), on_start, on_end);
        // Text is dropped here; without this handler it, and the predefined references in it,
        // would reach the default handler below.
        if (keep_text) {
            XML_SetCharacterDataHandler(xml.get(), on_text);
        } else {
            XML_SetCharacterDataHandler(xml.get(), [](void*, const XML_Char*, int) {});
        }
        // A default handler keeps internal entities in content unexpanded; they arrive here.
        XML_SetDefaultHandler(xml.get(), on_default);
        XML_SetSkippedEntityHandler(xml.get(), on_skipped_entity);
        XML_SetStartNamespaceDeclHandler(xml.get(), on_namespace);
        XML_SetStartDoctypeDeclHandler(xml.get(), on_doctype);
        XML_SetXmlDeclHandler(xml.get(), on_xml_declaration);
        XML_SetUnknownEncodingHandler(xml.get(), on_unknown_encoding, this);
    }

    Tag& push(Signal::Kind kind) {
        if (size == queue.size()) queue.push_back({kind, Tag(), {}});
        Slot& slot = queue[size++];
        slot.kind = kind;
        return slot.tag;
    }

    void stop() {
        stopped = true;
        XML_StopParser(xml.get(), XML_FALSE);
    }

    // For a person: where, and the text from there to the end of its line.
    std::string fault_note(long line, long column, std::string_view fault) const {
        int offset = 0;
        int available = 0;
        const char* buffer = XML_GetInputContext(xml.get(), &offset, &available);
        std::string text;
        if (buffer && offset >= 0 && offset < available) {
            const int length = std::min(available - offset, 160);
            text = tag_to_utf8({buffer + offset, size_t(length)}, single_byte ? &byte_map : nullptr);
            text.resize(std::min(text.find_first_of("\r\n"), text.size()));
        }
        const std::string where = "line " + std::to_string(line) + ", column " +
                                  std::to_string(column) + ": ";
        // Expat says "not well-formed (invalid token)".
        std::string_view what = fault;
        if (what.starts_with("not well-formed (") && what.ends_with(')'))
            what = what.substr(17, what.size() - 18);
        if (!text.empty())
            return where + "malformed XML (" + std::string(what) + ") at " + quoted_excerpt(text);
        return where + (any_input ? "the document ends early (" + std::string(what) + ")"
                                  : std::string("the document is empty"));
    }

    void fail_here(std::string_view fault) {
        const long line = long(XML_GetCurrentLineNumber(xml.get()));
        const long column = long(XML_GetCurrentColumnNumber(xml.get())) + 1;
        Fatal_error failure = xml_error(line, column, fault);
        failure.note = fault_note(line, column, fault);
        error = std::make_exception_ptr(failure);
        stop();
    }

    // Expat is C: nothing may unwind through it, so a throw is kept like a parse error.
    template <class Body>
    static void guarded(void* data, Body&& body) noexcept {
        auto& parser = *static_cast<Parser*>(data);
        if (parser.stopped) return;
        try {
            body(parser);
        } catch (...) {
            parser.error = std::current_exception();
            parser.stop();
        }
    }

    static void on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
        guarded(data, [&](Parser& parser) {
            ++parser.open_elements;
            if (parser.keep_text) {
                parser.leaf.clear();
                parser.in_leaf = true;
            }
            Tag& tag = parser.push(Signal::Kind::element_start);
            // Expat counts the bytes up to here once per block anyway; asking
            // now only splits that count.
            tag.reset(local_name(name), long(XML_GetCurrentLineNumber(parser.xml.get())),
                      long(XML_GetCurrentColumnNumber(parser.xml.get())) + 1);
            if (parser.has_doctype || parser.element_declares_namespace) {
                parser.element_declares_namespace = false;
                if (!parser.read_raw_attributes(tag)) --parser.size;
                return;
            }
            const int specified = XML_GetSpecifiedAttributeCount(parser.xml.get());
            for (int i = 0; i < specified; i += 2)
                tag.add_attribute(local_name(attributes[i]), attributes[i + 1]);
        });
    }

    static void on_end(void* data, const XML_Char*) {
        guarded(data, [](Parser& parser) {
            parser.push(Signal::Kind::element_end);
            if (parser.keep_text) {
                // Text after a child belongs to no leaf.
                parser.queue[parser.size - 1].text.assign(parser.in_leaf ? parser.leaf : "");
                parser.in_leaf = false;
            }
            if (--parser.open_elements > 0) return;
            // The root has ended: what follows it is never looked at.
            parser.root_ended = true;
            parser.stop();
        });
    }

    static void on_text(void* data, const XML_Char* text, int length) {
        guarded(data, [&](Parser& parser) {
            if (!parser.in_leaf) return;
            parser.leaf.append(text, std::min<size_t>(size_t(length),
                                                      max_kept_text - parser.leaf.size()));
        });
    }

    static void on_default(void* data, const XML_Char* text, int length) {
        guarded(data, [&](Parser& parser) {
            if (parser.open_elements > 0 && length > 0 && text[0] == '&')
                parser.fail_here("undefined entity");
        });
    }

    static void on_skipped_entity(void* data, const XML_Char*, int is_parameter_entity) {
        guarded(data, [&](Parser& parser) {
            if (!is_parameter_entity) parser.fail_here("undefined entity");
        });
    }

    static void on_namespace(void* data, const XML_Char*, const XML_Char*) {
        guarded(data, [](Parser& parser) { parser.element_declares_namespace = true; });
    }

    static void on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        guarded(data, [](Parser& parser) { parser.has_doctype = true; });
    }

    static void on_xml_declaration(void* data, const XML_Char*, const XML_Char* encoding, int) {
        guarded(data, [&](Parser& parser) {
            if (encoding && equal_ignoring_case(encoding, "iso-8859-1")) {
                for (int byte = 0; byte < 256; ++byte) parser.byte_map[byte] = byte;
                parser.single_byte = true;
            }
        });
    }

    // Of the names expat does not know, "ascii" is ours; others are single-byte encodings
    // the C library can convert, or refused.
    static int on_unknown_encoding(void* data, const XML_Char* name, XML_Encoding* encoding) {
        auto& parser = *static_cast<Parser*>(data);
        if (equal_ignoring_case(name, "ascii")) {
            for (int byte = 0; byte < 256; ++byte) encoding->map[byte] = byte < 0x80 ? byte : -1;
        } else if (single_byte_map(name, parser.byte_map)) {
            std::ranges::copy(parser.byte_map, encoding->map);
            parser.single_byte = true;
        } else {
            return XML_STATUS_ERROR;
        }
        encoding->data = nullptr;
        encoding->convert = nullptr;
        encoding->release = nullptr;
        return XML_STATUS_OK;
    }

    // Expat's attribute list leaves out namespace declarations and has applied the DTD
    // (entities expanded, values normalised by declared type), neither of which we want.
    // Such tags are rare, so they are read again from their raw bytes.
    bool read_raw_attributes(Tag& tag) {
        int offset = 0;
        int available = 0;
        const char* buffer = XML_GetInputContext(xml.get(), &offset, &available);
        const int count = XML_GetCurrentByteCount(xml.get());
        if (!buffer || count <= 0 || offset + count > available) throw assert_failure();
        const std::string text =
            tag_to_utf8({buffer + offset, size_t(count)}, single_byte ? &byte_map : nullptr);

        std::string value;
        size_t at = 1;
        const auto skip = [&](auto&& until) {
            while (at < text.size() && !until(text[at])) ++at;
        };
        skip([](char c) { return is_space(c) || c == '/' || c == '>'; });
        for (;;) {
            skip([](char c) { return !is_space(c); });
            if (at >= text.size() || text[at] == '/' || text[at] == '>') return true;
            const size_t name_start = at;
            skip([](char c) { return is_space(c) || c == '='; });
            std::string_view name = std::string_view(text).substr(name_start, at - name_start);
            if (const size_t colon = name.find(':'); colon != std::string_view::npos)
                name.remove_prefix(colon + 1);
            skip([](char c) { return c == '"' || c == '\''; });
            const char quote = text[at];
            const size_t value_start = ++at;
            skip([quote](char c) { return c == quote; });
            const size_t bad = decode_attribute_value(
                std::string_view(text).substr(value_start, at - value_start), value);
            // Reported at the tag's start, where expat reports its own such errors.
            if (bad != std::string_view::npos) {
                fail_here("undefined entity");
                return false;
            }
            tag.add_attribute(name, value);
            ++at;
        }
    }

    void parse_block() {
        head = size = 0;
        void* buffer = XML_GetBuffer(xml.get(), int(block_size));
        if (!buffer) {
            fail_here(XML_ErrorString(XML_GetErrorCode(xml.get())));
            return;
        }
        char* bytes = static_cast<char*>(buffer);
        size_t got = input.read(bytes, block_size);
        if (!started) {
            // Expat settles the encoding on its first call, and from a single byte it takes
            // UTF-8 where a second could show UTF-16; so it gets a few, however input comes.
            while (got > 0 && got < 4) {
                const size_t more = input.read(bytes + got, block_size - got);
                if (more == 0) break;
                got += more;
            }
            started = true;
        }
        const bool last = got == 0;
        any_input = any_input || !last;
        if (XML_ParseBuffer(xml.get(), int(got), last) == XML_STATUS_ERROR && !error && !root_ended)
            fail_here(XML_ErrorString(XML_GetErrorCode(xml.get())));
    }

    Signal next() {
        while (head == size) {
            if (error) std::rethrow_exception(error);
            // Nothing follows the root's end; asking for more is a caller's fault.
            if (root_ended) throw assert_failure();
            parse_block();
        }
        Slot& slot = queue[head++];
        if (slot.kind == Signal::Kind::element_end) {
            --depth;
            return {Signal::Kind::element_end, nullptr};
        }
        if (depth == open_tags.size()) open_tags.emplace_back();
        Tag& tag = open_tags[depth++];
        std::swap(tag, slot.tag);
        return {Signal::Kind::element_start, &tag};
    }
};

Reader::Reader(Byte_source& input, bool keep_text)
    : parser_(std::make_unique<Parser>(input, keep_text)) {}

Reader::~Reader() = default;

Signal Reader::next() { return parser_->next(); }

std::string_view Reader::text() const {
    // The slot just taken stays as it is until the next signal refills the queue.
    const Parser& p = *parser_;
    if (!p.keep_text || p.head == 0) return {};
    const Parser::Slot& slot = p.queue[p.head - 1];
    return slot.kind == Signal::Kind::element_end ? std::string_view(slot.text) : std::string_view();
}

const Tag& Reader::find_start(std::string_view name) {
    for (;;) {
        const Signal signal = next();
        if (signal.kind == Signal::Kind::element_end) throw assert_failure();
        if (signal.tag->name() == name) return *signal.tag;
    }
}

void skip_element(Reader& reader) {
    for (long depth = 1; depth > 0;)
        depth += reader.next().kind == Signal::Kind::element_start ? 1 : -1;
}

}  // namespace plotr::xmlm_shit
