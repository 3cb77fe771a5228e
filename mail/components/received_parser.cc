#include "mail/components/received_parser.h"

#include "mail/components/date_parser.h"
#include "mail/components/header_text.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

using View = std::string_view;

bool IsCommentSeparator(char c) { return c == ' ' || c == '\t' || c == '[' || c == ']'; }

// The first two words of a comment's content.
struct CommentWords {
  View first, second;
  size_t count = 0;
};

CommentWords SplitComment(View content) {
  CommentWords words;
  size_t i = 0;
  while (words.count < 2) {
    while (i < content.size() && IsCommentSeparator(content[i])) ++i;
    if (i >= content.size()) break;
    const size_t start = i;
    while (i < content.size() && !IsCommentSeparator(content[i])) ++i;
    (words.count == 0 ? words.first : words.second) = content.substr(start, i - start);
    ++words.count;
  }
  return words;
}

// What the from clause names, as views into the value.
struct FromClause {
  View from_name, helo_name, host_name, ip;
  View rest;  // what follows the clause and its comments
};

// Reads "from NAME (comment) (comment)"; `text` starts after "from" and its
// white space. A second comment is read only after a "(HELO ...)" one, which
// leaves room for the host and address that often follow it.
FromClause ReadFromClause(View text) {
  FromClause clause;
  size_t end = 0;
  while (end < text.size() && !IsHeaderSpace(text[end])) ++end;
  clause.from_name = text.substr(0, end);
  text.remove_prefix(end);
  bool first_was_helo = false;
  for (int comment = 0; comment < 2; ++comment) {
    text = SkipHeaderSpace(text);
    if (text.empty() || text[0] != '(' || (comment == 1 && !first_was_helo)) break;
    const size_t close = text.find(')');
    const View content = text.substr(1, close == View::npos ? View::npos : close - 1);
    text = close == View::npos ? View() : text.substr(close + 1);
    const CommentWords words = SplitComment(content);
    if (words.count > 0 && EqualsNoCase(words.first, "HELO")) {
      clause.host_name = clause.from_name;
      clause.helo_name = words.second;
      if (comment == 0) first_was_helo = true;
    } else if (words.count == 2) {
      clause.host_name = words.first;
      clause.ip = words.second;
    } else if (words.count == 1) {
      clause.ip = words.first;
    }
  }
  // The name after "from" is what the sender said in HELO, unless no comment
  // named the host: then it is the best name of the host there is.
  if (!clause.from_name.empty()) {
    if (clause.host_name.empty()) {
      clause.host_name = clause.from_name;
    } else if (clause.helo_name.empty()) {
      clause.helo_name = clause.from_name;
    }
  }
  clause.rest = text;
  return clause;
}

bool StartsWithFrom(View text) {
  return text.size() > 4 && text.substr(0, 4) == "from" && (text[4] == ' ' || text[4] == '\t');
}

}  // namespace

int32_t ParseReceived(std::string_view value, ReceivedData* hop) {
  if (hop == nullptr) return kHeaderInvalidPointer;
  *hop = ReceivedData();
  const size_t semicolon = value.find(';');
  const View from_text = TrimHeaderSpace(value.substr(0, semicolon));
  if (semicolon != View::npos) ParseDate(&hop->date, TrimHeaderSpace(value.substr(semicolon + 1)));

  View by_text = from_text;
  FromClause clause;
  if (StartsWithFrom(from_text)) {
    clause = ReadFromClause(SkipHeaderSpace(from_text.substr(4)));
    by_text = TrimHeaderSpace(clause.rest);
  }
  int32_t failed = 0;
  failed |= StoreText(&hop->fromText, from_text);
  failed |= StoreText(&hop->byText, by_text);
  failed |= StoreText(&hop->heloName, clause.helo_name);
  failed |= StoreText(&hop->hostName, clause.host_name);
  failed |= StoreText(&hop->ip, clause.ip);
  return failed != 0 ? kHeaderNoMemory : kHeaderOk;
}

}  // namespace nsEmlComponents
