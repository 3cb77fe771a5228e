// The parts tree is laid out in the public parts_tree.h, which filters read;
// this name stays for the plug-in's files that include it.
#ifndef MAIL_COMPONENTS_PARTS_TREE_H_
#define MAIL_COMPONENTS_PARTS_TREE_H_

#include "emlbreaker/parts_tree.h"

#endif  // MAIL_COMPONENTS_PARTS_TREE_H_
