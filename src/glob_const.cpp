#include "glob_const.h"

std::string config_dir;
char sep = '/';
