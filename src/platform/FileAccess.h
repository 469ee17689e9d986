// Questions about folders that decide where the program keeps its files.
#pragma once

#include <string>

// True when a new file can be made in `dir` by this process now. Found by
// making (and removing) an empty file there, so it answers for the user the
// process runs as, root included, and for read-only file systems alike.
bool CanCreateFilesIn(const std::string& dir);

// Makes the folder `dir` and its missing parents. A folder this call makes
// last (`dir` itself) is made readable by its owner alone (mode 0700); an
// existing one is left as it is. False when `dir` is not a folder afterwards.
bool MakePrivateFolder(const std::string& dir);
