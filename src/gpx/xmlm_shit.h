#pragma once

// A pull reader over expat that hands out element starts and ends one at a time, plus
// the four operations that describe which elements a caller wants. No tree is built:
// elements nobody asks for are read past and dropped.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace plotr::xmlm_shit {

/// A stream of bytes; read() returns 0 at the end, throws Fatal_error (sys_error) on a read error.
class Byte_source {
public:
    virtual ~Byte_source() = default;
    virtual size_t read(char* buffer, size_t size) = 0;
    /// The file descriptor read from, or -1 for a source that has none.
    virtual int fd() const { return -1; }
};

/// Reads a file descriptor with read(2), retrying on EINTR. Does not own or close it.
class Fd_source final : public Byte_source {
public:
    explicit Fd_source(int fd);
    size_t read(char* buffer, size_t size) override;
    int fd() const override { return fd_; }

private:
    int fd_;
};

/// Serves a string, at most `chunk` bytes per read, so tests can cut a document anywhere.
class String_source final : public Byte_source {
public:
    explicit String_source(std::string text, size_t chunk = SIZE_MAX);
    size_t read(char* buffer, size_t size) override;

private:
    std::string text_;
    size_t chunk_;
    size_t at_ = 0;
};

/// An attribute by local name (prefix and namespace dropped) and its value in UTF-8.
/// Namespace declarations count too: xmlns="..." is named "xmlns", xmlns:p="..." is named "p".
struct Attribute {
    std::string name;
    std::string value;
};

/// An element start tag: local name and the attributes written in it, in document order
/// (attributes defaulted by a DTD are not there).
class Tag {
public:
    std::string_view name() const { return name_; }
    std::span<const Attribute> attributes() const { return {attributes_.data(), count_}; }
    /// The value of the first attribute whose local name is exactly `name`, or nullptr.
    const std::string* attribute(std::string_view name) const;
    /// Where the tag's "<" stands: line from 1, column from 1.
    long line() const { return line_; }
    long column() const { return column_; }

    /// For the reader: refill in place, keeping the storage so steady reading does not allocate.
    void reset(std::string_view name, long line, long column);
    void add_attribute(std::string_view name, std::string_view value);

private:
    std::string name_;
    std::vector<Attribute> attributes_;
    size_t count_ = 0;
    long line_ = 0;
    long column_ = 0;
};

/// One parser event handed on by the reader. Character data, comments, processing
/// instructions and the prologue give none: every operation here ignores them.
struct Signal {
    enum class Kind { element_start, element_end };
    Kind kind;
    const Tag* tag;  ///< the start tag for element_start, nullptr for element_end
};

/// The most bytes of an element's text a reader keeps.
inline constexpr size_t max_kept_text = 4096;

/// A forward-only cursor over the element starts and ends of one XML document.
/// Namespaces are processed; UTF-8, UTF-16(BE/LE), ISO-8859-1, US-ASCII, ASCII and the
/// single-byte encodings the C library's iconv converts are read; references to entities other than
/// the five predefined ones are errors.
class Reader {
public:
    /// Opens a parser on `input`, which must outlive the reader. Reads nothing yet. With
    /// `keep_text`, element ends carry the text of elements without children.
    explicit Reader(Byte_source& input, bool keep_text = false);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Takes the next signal. A start's tag stays valid until the next start at the same
    /// depth is taken, so a handler may use its tag until it returns.
    /// Throws Xml_error(line, column, "fault") at malformed input, once every signal before
    /// it has been taken. Input after the root element's end is never read.
    Signal next();

    /// After an element_end, for a reader that keeps text: the element's character data in
    /// UTF-8 when it has no child elements (its first max_kept_text bytes), else empty.
    /// Valid until the next signal is taken. (Not in Signal: two words return in registers.)
    std::string_view text() const;

    /// Takes signals up to the first element start named `name` and returns its tag.
    /// Throws Assert_failure if an element ends first.
    const Tag& find_start(std::string_view name);

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};

/// Calls handler(tag, reader) on the first element named `name`, at any depth, as long as
/// it starts before any element ends, and returns its result. Reads nothing after that.
/// Throws Assert_failure when an element ends first, Xml_error on malformed input.
template <class Handler>
auto find_element(std::string_view name, Reader& reader, Handler&& handler) {
    return handler(reader.find_start(name), reader);
}

/// Takes the rest of the element whose start was just taken, its end included.
/// Throws Xml_error on malformed input, even inside the skipped content.
void skip_element(Reader& reader);

/// A child matcher: for an element start named `name` returns handler(tag, reader),
/// for any other signal std::nullopt without touching the reader.
template <class Handler>
auto match_element(std::string name, Handler handler) {
    using Result = std::invoke_result_t<Handler&, const Tag&, Reader&>;
    return [name = std::move(name), handler = std::move(handler)](
               Reader& reader, const Signal& signal) -> std::optional<Result> {
        if (signal.kind == Signal::Kind::element_start && signal.tag->name() == name)
            return handler(*signal.tag, reader);
        return std::nullopt;
    };
}

/// Offers each direct child of the element whose start was just taken to `matcher`, in
/// document order, and returns its results; unmatched children are skipped whole. Takes
/// the element's end. Throws what the matcher throws, Xml_error on malformed input.
template <class Matcher>
auto filter_children(Reader& reader, Matcher&& matcher) {
    using Result = typename std::invoke_result_t<Matcher&, Reader&, const Signal&>::value_type;
    std::vector<Result> results;
    for (;;) {
        const Signal signal = reader.next();
        if (signal.kind == Signal::Kind::element_end) return results;
        if (auto result = matcher(reader, signal)) {
            results.push_back(std::move(*result));
        } else {
            skip_element(reader);
        }
    }
}

}  // namespace plotr::xmlm_shit
