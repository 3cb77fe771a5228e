// A one-line picture of a parts tree, for tests and for the host program's
// dump command: "multipart/mixed(text/plain,-image/gif,text/html)".
#ifndef MAIL_COMPONENTS_PARTS_TREE_DUMP_H_
#define MAIL_COMPONENTS_PARTS_TREE_DUMP_H_

#include <string>

namespace nsEmlComponents {

class CPartsTree;

// Each part is written as its media type as the packer reports it (GetContentType
// of the part's source), followed by "=binary", "=text", "=html" or "=multipart"
// when the body kind is not the one that media type gives, so a part the tree
// typed on its own (a root with an empty Content-Type type, say) stands out.
// Without a source, or when the packer gives no type, the kind name stands alone
// ("none" for a part without a body). A removed part is prefixed
// with "-". Children follow in parentheses, separated by commas; a multipart
// without children shows "()". An empty tree is "". The tree is only read.
std::string DumpPartsTree(const CPartsTree& tree);

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_PARTS_TREE_DUMP_H_
