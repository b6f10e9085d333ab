// The text of an HTML mail part, for an SMS.
//
// Mail programs, shops and monitoring systems often send HTML only. html_to_text
// gives what a reader sees, as plain text: tags dropped; <br>, <p>, <div>, <li>,
// <tr>, headings and the other block elements as line breaks; table cells apart
// by a blank; the content of <head>, <style>, <script> and comments dropped;
// entities (named and numeric) decoded; runs of blanks collapsed to one, lines
// trimmed, runs of line breaks to one. The parsing is libxml2's HTML parser, made
// for the broken markup real mail carries; nothing here matches tags by pattern.
//
// Input is UTF-8 (the part's charset already converted; a charset the document
// itself names is ignored). Input is untrusted: the parser recovers from any
// error, never reaches the network, and the tree is walked without recursion, so
// deep nesting cannot exhaust the stack. Thread-safe.
//
//   std::string sms = html_to_text("<p>Hello <b>world</b></p><p>5&nbsp;pm &amp; on</p>");
//   // "Hello world\n5 pm & on"
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

std::string html_to_text(std::string_view html);

}  // namespace tolvane
