#include "HTMLText.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// What an element means to the rendering. Names come lower-cased from the HTML
// parser.
enum class ElementKind { Other, Hidden, Block, Cell, LineBreak, Image, Preformatted };

ElementKind elementKind(const char* name) {
    // Elements whose text a browser does not show.
    static const char* const hidden[] = {"head",   "script", "style",  "title",  "noscript", "template",
                                         "object", "applet", "iframe", "select", "option",   "textarea"};
    // Elements that begin and end a line of their own.
    static const char* const blocks[] = {
        "p",        "div",  "h1",      "h2",      "h3",     "h4",     "h5",         "h6",      "ul",     "ol",
        "li",       "dl",   "dt",      "dd",      "table",  "tr",     "blockquote", "address", "center", "form",
        "fieldset", "hr",   "section", "article", "header", "footer", "nav",        "aside",   "main",   "figure",
        "caption",  "body", "html",    "tbody",   "thead",  "tfoot",  "menu",       "dir",     "legend"};
    static const auto* const kinds = [] {
        auto* map = new std::unordered_map<std::string_view, ElementKind>();
        for (const char* h : hidden)
            map->emplace(h, ElementKind::Hidden);
        for (const char* b : blocks)
            map->emplace(b, ElementKind::Block);
        map->emplace("td", ElementKind::Cell);
        map->emplace("th", ElementKind::Cell);
        map->emplace("br", ElementKind::LineBreak);
        map->emplace("img", ElementKind::Image);
        map->emplace("pre", ElementKind::Preformatted);  // a block as well
        return map;
    }();
    const auto it = kinds->find(std::string_view(name));
    return it == kinds->end() ? ElementKind::Other : it->second;
}

class HTMLTextWriter {
public:
    // UTF-8 text of the document, white space collapsed unless preformatted.
    void text(const xmlChar* content, bool preformatted) {
        const char* p = reinterpret_cast<const char*>(content);
        const char* end = p + std::strlen(p);
        while (p < end) {
            const char c = *p;
            if (!preformatted && (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f')) {
                pendingSpace_ = true;
                ++p;
                continue;
            }
            // A run of visible text, up to the next white space.
            const char* run = p;
            bool ascii = true;
            while (p < end && (preformatted || !(*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f'))) {
                ascii = ascii && static_cast<unsigned char>(*p) < 0x80;
                ++p;
            }
            if (pendingSpace_ && !out_.isEmpty() && !endsWith('\n'))
                out_ += ' ';
            pendingSpace_ = false;
            if (ascii)
                out_.append(QLatin1StringView(run, p - run));
            else
                out_.append(QString::fromUtf8(run, p - run));
        }
    }
    void lineBreak() {
        out_ += '\n';
        pendingSpace_ = false;
    }
    void blockEdge() {
        if (!out_.isEmpty() && !endsWith('\n'))
            out_ += '\n';
        pendingSpace_ = false;
    }
    void cellEdge() {
        if (!out_.isEmpty() && !endsWith('\n') && !endsWith('\t'))
            out_ += '\t';
        pendingSpace_ = false;
    }
    void image() {
        if (pendingSpace_ && !out_.isEmpty() && !endsWith('\n'))
            out_ += ' ';
        pendingSpace_ = false;
        out_ += QChar(0xFFFC);
    }
    // The text without the blank end that closing blocks leave.
    QString result() {
        qsizetype end = out_.size();
        while (end > 0 && (out_[end - 1] == '\n' || out_[end - 1] == '\t' || out_[end - 1] == ' '))
            --end;
        out_.truncate(end);
        return std::move(out_);
    }

private:
    bool endsWith(char c) const { return !out_.isEmpty() && out_.back() == QLatin1Char(c); }

    QString out_;
    bool pendingSpace_ = false;
};

// Walks the document without recursion, so no nesting depth can exhaust the stack.
void renderTree(xmlNode* root, HTMLTextWriter& writer) {
    struct Frame {
        xmlNode* node;
        ElementKind kind;
        bool leaving;
    };
    std::vector<Frame> stack;
    stack.reserve(64);
    stack.push_back({root, ElementKind::Other, false});
    int preformatted = 0;
    while (!stack.empty()) {
        const Frame frame = stack.back();
        stack.pop_back();
        xmlNode* node = frame.node;
        if (frame.leaving) {
            if (frame.kind == ElementKind::Preformatted)
                --preformatted;
            if (frame.kind == ElementKind::Block || frame.kind == ElementKind::Preformatted)
                writer.blockEdge();
            else if (frame.kind == ElementKind::Cell)
                writer.cellEdge();
            continue;
        }
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (node->content)
                writer.text(node->content, preformatted > 0);
            continue;
        case XML_ELEMENT_NODE:
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            break;
        default:
            continue;  // comments, processing instructions, ...
        }
        if (node->type == XML_ELEMENT_NODE) {
            const ElementKind kind = elementKind(node->name ? reinterpret_cast<const char*>(node->name) : "");
            if (kind == ElementKind::Hidden)
                continue;
            // Line breaks and images are void, but a damaged document may still
            // hang content below them: it is shown too.
            if (kind == ElementKind::LineBreak) {
                writer.lineBreak();
            } else if (kind == ElementKind::Image) {
                writer.image();
            } else {
                if (kind == ElementKind::Preformatted)
                    ++preformatted;
                if (kind == ElementKind::Block || kind == ElementKind::Preformatted)
                    writer.blockEdge();
                stack.push_back({node, kind, true});
            }
        }
        // Children in document order: pushed last to first.
        for (xmlNode* child = node->last; child; child = child->prev)
            stack.push_back({child, ElementKind::Other, false});
    }
}

}  // namespace

namespace {

std::optional<QString> render(const QString& html) {
    const QByteArray utf8 = html.toUtf8();
    if (utf8.isEmpty())
        return QString();
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        htmlReadMemory(utf8.constData(), int(std::min<qsizetype>(utf8.size(), INT32_MAX)), nullptr, "UTF-8",
                       HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                           HTML_PARSE_NODEFDTD | HTML_PARSE_COMPACT),
        &xmlFreeDoc);
    if (!doc)
        return std::nullopt;
    HTMLTextWriter writer;
    renderTree(reinterpret_cast<xmlNode*>(doc.get()), writer);
    return writer.result();
}

}  // namespace

namespace platform::html {

std::optional<QString> renderedText(const QString& html) {
    // The parser's global tables are set up once, before any thread parses.
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    // The filters render the same part of a message one after the other on
    // one thread: the last document of each thread is kept with its text.
    struct Last {
        QString html;
        std::optional<QString> text;
    };
    thread_local Last last;
    if (html.isEmpty() || html != last.html)
        last = {html, render(html)};
    return last.text;
}

}  // namespace platform::html
