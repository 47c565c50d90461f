// The policy files: in each of a list of directories, the files named
// *.conf, each line of which grants a user names that it may register:
//
//   # a comment
//   allow USER name NAME      (exactly NAME)
//   allow USER prefix PREFIX  (every name that starts with PREFIX)
//
// USER is a user name (looked up as the file is read) or a decimal uid;
// NAME and PREFIX are one UTF-8 token each; fields are separated by spaces
// or tabs. A missing directory holds no files; a file masks any file of
// the same name in a later directory, and one that is not a regular file
// (a link to /dev/null, say) grants nothing. Nothing is printed: what is
// wrong comes back as lines that begin with the file's path.
#pragma once

#include "Grants.h"

#include <cstddef>
#include <string>
#include <vector>

struct PolicyRead {
    Grants grants;
    size_t files = 0; // the files read, after masking
    // Lines skipped that leave the file good: a user name that no user
    // has (yet), as "PATH:LINE: ...".
    std::vector<std::string> warnings;
    // What makes the policy bad: one line per bad file or directory, as
    // "PATH:LINE: ..." or "PATH: ...".
    std::vector<std::string> errors;
};

// Reads the policy files of `directories`; false when any is bad, and
// the grants are then not to be used.
bool readPolicyFiles(const std::vector<std::string>& directories, PolicyRead* read);
