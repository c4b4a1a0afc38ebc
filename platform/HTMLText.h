#pragma once
// The text of an HTML document as a browser shows it (libxml2's forgiving HTML
// parser, rendered without layout): white space collapsed outside <pre>, a line
// per block, a tab between table cells, U+FFFC for each image, nothing of the
// head, scripts, styles and form controls.

#include <QString>

#include <optional>

namespace platform::html {

// The rendered text of html; empty for an empty document, nullopt when the
// document cannot be parsed. Any nesting depth is safe.
std::optional<QString> renderedText(const QString& html);

}  // namespace platform::html
