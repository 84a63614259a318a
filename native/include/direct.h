// native/include/direct.h: the C library's change-directory call under its Windows name.
#pragma once

int _chdir(const char *path);
