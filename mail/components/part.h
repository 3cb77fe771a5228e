// Parts and bodies are laid out in the public parts_tree.h, which filters read;
// this name stays for the plug-in's files that include it.
#ifndef MAIL_COMPONENTS_PART_H_
#define MAIL_COMPONENTS_PART_H_

#include "emlbreaker/parts_tree.h"

#endif  // MAIL_COMPONENTS_PART_H_
