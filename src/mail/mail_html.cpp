// The text of an HTML mail part. See mail_html.h.
#include "mail/mail_html.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <memory>
#include <mutex>
#include <string_view>

#include "foundation/utf8.h"

namespace tolvane {

namespace {

struct doc_free {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

bool name_is(const xmlNode* n, std::string_view name) {
    if (n->name == nullptr) return false;
    return std::string_view(reinterpret_cast<const char*>(n->name)) == name;
}

bool dropped(const xmlNode* n) {
    static constexpr std::string_view DROPPED[] = {"head",  "style",    "script",
                                                   "title", "noscript", "template"};
    for (std::string_view d : DROPPED) {
        if (name_is(n, d)) return true;
    }
    return false;
}

bool block(const xmlNode* n) {
    static constexpr std::string_view BLOCKS[] = {
        "p",     "div",    "li",    "tr",      "h1",      "h2",         "h3",     "h4",
        "h5",    "h6",     "ul",    "ol",      "table",   "blockquote", "pre",    "hr",
        "dl",    "dt",     "dd",    "section", "article", "header",     "footer", "address",
        "form",  "center", "body",  "html",    "nav",     "aside",      "figure", "caption",
        "thead", "tbody",  "tfoot", "main",    "fieldset"};
    for (std::string_view b : BLOCKS) {
        if (name_is(n, b)) return true;
    }
    return false;
}

// Collects text with blanks and line breaks collapsed as it goes.
struct collector {
    std::string out;
    bool pending_space = false;
    bool pending_break = false;

    void brk() { pending_break = true; }
    void space() { pending_space = true; }

    void text(std::string_view t) {
        for (std::size_t at = 0; at < t.size();) {
            std::size_t start = at;
            char32_t cp = utf8_next(t, at);
            if (cp == ' ' || cp == '\t' || cp == '\n' || cp == '\r' || cp == '\f' || cp == 0xA0) {
                pending_space = true;
                continue;
            }
            if (pending_break) {
                if (!out.empty()) out += '\n';
            } else if (pending_space && !out.empty()) {
                out += ' ';
            }
            pending_break = pending_space = false;
            out.append(t.substr(start, at - start));
        }
    }
};

}  // namespace

std::string html_to_text(std::string_view html) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    if (html.empty() || html.size() > static_cast<std::size_t>(INT_MAX)) return {};
    std::unique_ptr<xmlDoc, doc_free> doc(
        htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr, "UTF-8",
                       HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                           HTML_PARSE_NONET | HTML_PARSE_IGNORE_ENC | HTML_PARSE_NOIMPLIED));
    if (!doc) return {};
    collector c;
    // Iterative walk: down to the first child, else along to the next sibling, else
    // back up (closing the blocks left behind).
    xmlNode* n = doc->children;
    while (n != nullptr) {
        bool descend = false;
        if (n->type == XML_ELEMENT_NODE) {
            if (!dropped(n)) {
                if (name_is(n, "br")) c.brk();
                if (name_is(n, "td") || name_is(n, "th")) c.space();
                if (block(n)) c.brk();
                descend = n->children != nullptr;
            }
        } else if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            if (n->content != nullptr) c.text(reinterpret_cast<const char*>(n->content));
        }
        if (descend) {
            n = n->children;
            continue;
        }
        // Leaving n: close it, then go on with its next sibling or close its parent.
        for (;;) {
            if (n->type == XML_ELEMENT_NODE && block(n)) c.brk();
            if (n->next != nullptr) {
                n = n->next;
                break;
            }
            n = n->parent;
            if (n == nullptr || n->type == XML_DOCUMENT_NODE || n->type == XML_HTML_DOCUMENT_NODE) {
                n = nullptr;
                break;
            }
        }
    }
    return c.out;
}

}  // namespace tolvane
