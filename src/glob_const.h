#pragma once
#include <string>

// Folder of the cartridge constructed last (its battery RAM lives there) and
// the folder separator. Process-wide; each console also keeps its own copy.
extern std::string config_dir;
extern char sep;
