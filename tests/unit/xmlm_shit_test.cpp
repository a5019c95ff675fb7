#include "gpx/xmlm_shit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/failure.h"

namespace plotr::xmlm_shit {
namespace {

using namespace std::string_literals;

// Every signal of a document as text, "<name a=v>" for a start and "/" for an end,
// followed by "!" and the failure text if reading stops with one.
std::string trace(const std::string& document, size_t chunk) {
    String_source source(document, chunk);
    Reader reader(source);
    std::string out;
    try {
        long depth = 0;
        do {
            const Signal signal = reader.next();
            if (signal.kind == Signal::Kind::element_end) {
                out += "/";
                --depth;
                continue;
            }
            out += "<" + std::string(signal.tag->name());
            for (const Attribute& attribute : signal.tag->attributes())
                out += " " + attribute.name + "=" + attribute.value;
            out += ">";
            ++depth;
        } while (depth > 0);
    } catch (const Fatal_error& error) {
        out += "!"s + error.what();
    }
    return out;
}

struct Case {
    std::string document;
    std::string expected;
};

// The result must not depend on where the input blocks happen to end.
void expect_traces(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        for (size_t chunk : {SIZE_MAX, size_t(1), size_t(7)})
            EXPECT_EQ(trace(c.document, chunk), c.expected) << c.document << " chunk " << chunk;
    }
}

std::string utf16(std::u16string_view text, bool big_endian) {
    std::string out;
    for (char16_t unit : u"\uFEFF"s + std::u16string(text)) {
        const char high = char(unit >> 8), low = char(unit & 0xFF);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

TEST(XmlReader, AcceptsOnlyTheListedEncodings) {
    const std::string declared = R"(<?xml version="1.0" encoding=")";
    expect_traces({
        {"\xEF\xBB\xBF<a x='1'/>", "<a x=1>/"},
        {utf16(u"<a x='\u00E9\u20AC'><b/></a>", false), "<a x=\u00E9\u20AC><b>//"},
        {utf16(u"<?xml version='1.0' encoding='UTF-16'?><a xmlns:p='u' p:x='\u00E9'/>", true),
         "<a p=u x=\u00E9>/"},
        {declared + "UTF-8\"?><a/>", "<a>/"},
        {declared + "ascii\"?><a x='e'/>", "<a x=e>/"},
        {declared + "ASCII\"?><a x='\xE9'/>",
         R"x(!Xml_error(1, 45, "not well-formed (invalid token)"))x"},
        {declared + "US-ASCII\"?><a/>", "<a>/"},
        {declared + "Iso-8859-1\"?><a x='\xE9'/>", "<a x=\u00E9>/"},
        // Single-byte encodings through the C library's tables, also where a tag is read
        // again from its raw bytes (it declares a namespace).
        {declared + "windows-1252\"?><a x='\x80\x9C' xmlns:p='u' p:y='\xE9'><b z='\x8A'/></a>",
         "<a x=\u20AC\u0153 p=u y=\u00E9><b z=\u0160>//"},
        {declared + "ISO-8859-15\"?><a xmlns='u' x='\xA4'/>", "<a xmlns=u x=\u20AC>/"},
        {declared + "iso-8859-2\"?><a x='\xB1'/>", "<a x=\u0105>/"},
        {declared + "windows-1252\"?><a x='\x81'/>",
         R"x(!Xml_error(1, 52, "not well-formed (invalid token)"))x"},
        {declared + "Shift_JIS\"?><a/>", R"(!Xml_error(1, 31, "unknown encoding"))"},
        {declared + "x-no-such\"?><a/>", R"(!Xml_error(1, 31, "unknown encoding"))"},
    });
}

// Expat settles the encoding from the bytes of its first call, and from a single byte it
// takes UTF-8 where two would have shown UTF-16: a pipe delivering one byte first must not
// change the result.
TEST(XmlReader, TheFirstReadSizeDoesNotChangeTheEncoding) {
    for (const std::string& document :
         {"\n\0<\0g\0/\0>\0"s, " \0<\0g\0 \0x\0=\0'\0\xE9\0'\0/\0>\0"s, "x\0x\0>\0"s, " <g/>"s}) {
        const std::string whole = trace(document, SIZE_MAX);
        for (size_t chunk : {1, 2, 3})
            EXPECT_EQ(trace(document, chunk), whole) << testing::PrintToString(document);
    }
}

TEST(XmlReader, KeepsLocalNamesAndNamespaceDeclarationsInOrder) {
    expect_traces({
        {"<g xmlns='http://x'><t/></g>", "<g xmlns=http://x><t>//"},
        {"<p:g xmlns:p='u' p:lat='1' lon='2'><p:t/></p:g>", "<g p=u lat=1 lon=2><t>//"},
        {"<g lat='1' xmlns:lat='u'/>", "<g lat=1 lat=u>/"},
        {"<g><p:t/></g>", R"(<g>!Xml_error(1, 4, "unbound prefix"))"},
        {"<g x='a&#x41;&lt;&amp;\tb\r\nc'/>", "<g x=aA<& b c>/"},
    });
}

// A DOCTYPE is only text: its declarations must not change what the document says.
TEST(XmlReader, IgnoresDoctypeDeclarations) {
    const std::string doctype =
        "<!DOCTYPE g [<!ENTITY e 'v'><!ATTLIST g d CDATA 'def' n NMTOKEN #IMPLIED>]>";
    expect_traces({
        {doctype + "<g n=' 1 ' x='&#65;&quot;'><t>a&lt;b</t></g>", "<g n= 1  x=A\"><t>//"},
        {doctype + "<g><t>\n&e;</t></g>", R"(<g><t>!Xml_error(2, 1, "undefined entity"))"},
        {doctype + "<g>\n<t x='&e;'/></g>", R"(<g>!Xml_error(2, 1, "undefined entity"))"},
        {"<!DOCTYPE g SYSTEM 'g.dtd'><g>&e;</g>", R"(<g>!Xml_error(1, 31, "undefined entity"))"},
        {"<!DOCTYPE g SYSTEM 'g.dtd'><g x='&e;'/>", R"(!Xml_error(1, 28, "undefined entity"))"},
        {"<g>&e;</g>", R"(<g>!Xml_error(1, 4, "undefined entity"))"},
    });
}

TEST(XmlReader, ReportsErrorsWhereTheParserReachesThem) {
    expect_traces({
        {"", R"(!Xml_error(1, 1, "no element found"))"},
        {"<g>\n <a/>\n <b></c>", R"(<g><a>/<b>!Xml_error(3, 7, "mismatched tag"))"},
        {"<g><a x='1'", R"(<g>!Xml_error(1, 4, "unclosed token"))"},
        {"<g/>\n\xFF\x00<<</x>"s, "<g>/"},
    });
}

// Serves the document, then fails the test if asked for anything more.
class Tripwire_source final : public Byte_source {
public:
    explicit Tripwire_source(std::string text) : text_(std::move(text)) {}
    size_t read(char* buffer, size_t size) override {
        if (served_ == text_.size()) throw std::logic_error("read past the root element");
        const size_t count = std::min(size, text_.size() - served_);
        text_.copy(buffer, count, served_);
        served_ += count;
        return count;
    }

private:
    std::string text_;
    size_t served_ = 0;
};

TEST(XmlReader, ReadsNothingAfterTheRootEnds) {
    const std::string document = "<g>" + std::string(200'000, ' ') + "<a/></g>";
    Tripwire_source source(document);
    Reader reader(source);
    EXPECT_EQ(find_element("a", reader, [](const Tag&, Reader& r) { return skip_element(r), 1; }),
              1);
    EXPECT_EQ(reader.next().kind, Signal::Kind::element_end);
}

std::string find(const std::string& document, std::string_view name) {
    String_source source(document);
    Reader reader(source);
    try {
        return find_element(name, reader, [](const Tag& tag, Reader&) {
            const std::string* n = tag.attribute("n");
            return std::string(tag.name()) + (n ? *n : "");
        });
    } catch (const Fatal_error& error) {
        return error.what();
    }
}

TEST(XmlReader, FindElementStopsAtTheFirstEnd) {
    EXPECT_EQ(find("<p:w xmlns:p='u' n='1'/>", "w"), "w1");
    EXPECT_EQ(find("<r><x/><w n='2'/></r>", "x"), "x");
    EXPECT_EQ(find("<r>text<w n='3'><w/></w></r>", "w"), "w3");
    EXPECT_EQ(find("<r><W n='4'/></r>", "w").rfind("Assert_failure(\"src/gpx/xmlm_shit.cpp\"", 0),
              0);
    EXPECT_EQ(find("<r><e/><w n='5'/></r>", "w").rfind("Assert_failure(", 0), 0);
}

// The values of the "n" attributes of the direct children named "x", then the root's own.
std::string children(const std::string& document, size_t chunk = SIZE_MAX) {
    String_source source(document, chunk);
    Reader reader(source);
    try {
        return find_element("r", reader, [](const Tag& root, Reader& r) {
            std::string out;
            const auto read_x = [](const Tag& tag, Reader& r) {
                skip_element(r);
                return *tag.attribute("n");
            };
            for (const std::string& n : filter_children(r, match_element("x", read_x)))
                out += n + ",";
            return out + *root.attribute("n");
        });
    } catch (const Fatal_error& error) {
        return error.what();
    }
}

TEST(XmlReader, FilterChildrenTakesOnlyMatchingDirectChildren) {
    EXPECT_EQ(children("<r n='r'/>"), "r");
    EXPECT_EQ(children("<r n='r'> text <y/><x n='1'/>\n<w><x n='no'/></w><x n='2'>a<x/></x></r>"),
              "1,2,r");
    EXPECT_EQ(children("<r n='r'><y><z></y></z></y><x n='1'/></r>"),
              R"(Xml_error(1, 18, "mismatched tag"))");
    std::string many = "<r n='root'>";
    for (int i = 0; i < 3000; ++i) many += "<x n='" + std::to_string(i % 10) + "'><e/></x>";
    many += "</r>";
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += std::to_string(i % 10) + ",";
    expected += "root";
    EXPECT_EQ(children(many), expected);
    // The root's tag must survive all the refills of the signal queue.
    EXPECT_EQ(children(many, 3), expected);
}

}  // namespace
}  // namespace plotr::xmlm_shit
