// Re-parses mails with GMime, an independent reader of what emlscan filter
// writes: for each file, one JSON line with the decoded subject, the values
// of the headers named on the command line and whether GMime parsed it as a
// message. Used by tests/filter_test.py.
//   gmime_reparse HEADER[,HEADER...] FILE...
#include <fcntl.h>
#include <gmime/gmime.h>

#include <cstdio>
#include <string>

namespace {

std::string Quoted(const char* text) {
  std::string out = "\"";
  for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += *c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += *c;
    }
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gmime_reparse HEADER[,HEADER...] FILE...\n");
    return 2;
  }
  g_mime_init();
  const std::string names = argv[1];
  for (int i = 2; i < argc; ++i) {
    GMimeStream* stream = g_mime_stream_fs_open(argv[i], O_RDONLY, 0, nullptr);
    GMimeParser* parser = stream != nullptr ? g_mime_parser_new_with_stream(stream) : nullptr;
    GMimeMessage* message =
        parser != nullptr ? g_mime_parser_construct_message(parser, nullptr) : nullptr;
    std::string line =
        "{\"file\": " + Quoted(argv[i]) + ", \"parsed\": " + (message ? "true" : "false");
    if (message != nullptr) {
      line += ", \"subject\": " + Quoted(g_mime_message_get_subject(message));
      GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
      size_t start = 0;
      while (start <= names.size()) {
        size_t end = names.find(',', start);
        if (end == std::string::npos) end = names.size();
        const std::string name = names.substr(start, end - start);
        GMimeHeader* header = g_mime_header_list_get_header(headers, name.c_str());
        line += ", " + Quoted(name.c_str()) + ": " +
                (header != nullptr ? Quoted(g_mime_header_get_value(header)) : std::string("null"));
        start = end + 1;
      }
      g_object_unref(message);
    }
    std::printf("%s}\n", line.c_str());
    if (parser != nullptr) g_object_unref(parser);
    if (stream != nullptr) g_object_unref(stream);
  }
  g_mime_shutdown();
  return 0;
}
