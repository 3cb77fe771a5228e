#include "mail/components/content_params.h"

#include "mail/components/header_text.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

using View = std::string_view;

// One ";"-separated piece: a parameter (key and value) or a bare token.
struct Piece {
  bool is_parameter = false;
  View key;    // parameters only
  View value;  // the parameter's value, or the bare token
};

Piece ReadPiece(View piece) {
  Piece result;
  const size_t equals = piece.find('=');
  if (equals == View::npos) {
    const View text = SkipHeaderSpace(piece);
    size_t end = 0;
    while (end < text.size() && !IsHeaderSpace(text[end])) ++end;
    result.value = text.substr(0, end);
    return result;
  }
  result.is_parameter = true;
  View key = piece.substr(0, equals);
  size_t start = 0;
  while (start < key.size() && (IsHeaderSpace(key[start]) || key[start] == '"')) ++start;
  size_t end = start;
  while (end < key.size() && !IsHeaderSpace(key[end]) && key[end] != '"') ++end;
  result.key = key.substr(start, end - start);
  View value = piece.substr(equals + 1);
  start = 0;
  while (start < value.size() && value[start] == '"') ++start;
  value.remove_prefix(start);
  result.value = value.substr(0, value.find('"'));
  return result;
}

// Calls on_piece for every piece of value, in order; stops at the first
// non-zero code and returns it.
template <class OnPiece>
int32_t ForEachPiece(View value, OnPiece on_piece) {
  size_t start = 0;
  while (start <= value.size()) {
    const size_t end = value.find(';', start);
    const View piece = value.substr(start, end == View::npos ? View::npos : end - start);
    const int32_t code = on_piece(ReadPiece(piece));
    if (code != kHeaderOk) return code;
    if (end == View::npos) break;
    start = end + 1;
  }
  return kHeaderOk;
}

}  // namespace

int32_t ParseContentType(std::string_view value, CHeaderContentType* header) {
  if (header == nullptr) return kHeaderInvalidPointer;
  bool bare_token_seen = false;
  return ForEachPiece(value, [&](const Piece& piece) -> int32_t {
    if (!piece.is_parameter) {
      if (piece.value.empty()) return kHeaderOk;
      const bool is_first = header->type.IsEmpty();
      bare_token_seen = true;
      return is_first ? StoreText(&header->type, piece.value) : kHeaderOk;
    }
    if (EqualsNoCase(piece.key, "type")) {
      return bare_token_seen ? kHeaderOk : StoreText(&header->type, piece.value);
    }
    if (EqualsNoCase(piece.key, "charset")) return StoreText(&header->charset, piece.value);
    if (EqualsNoCase(piece.key, "boundary")) return StoreText(&header->boundary, piece.value);
    if (EqualsNoCase(piece.key, "name")) return StoreText(&header->name, piece.value);
    return kHeaderOk;
  });
}

int32_t ParseContentDisposition(std::string_view value, CHeaderContentDisposition* header) {
  if (header == nullptr) return kHeaderInvalidPointer;
  return ForEachPiece(value, [&](const Piece& piece) -> int32_t {
    if (!piece.is_parameter) {
      return piece.value.empty() ? kHeaderOk : StoreText(&header->disposition, View());
    }
    if (EqualsNoCase(piece.key, "filename")) return StoreText(&header->filename, piece.value);
    return kHeaderOk;
  });
}

}  // namespace nsEmlComponents
