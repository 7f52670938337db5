// SPDX-License-Identifier: MIT
// What a test or load program reads about its own process from /proc: the descriptors it holds
// open and its resident memory, to show leaks and growth under load.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <unistd.h>

namespace probe {

inline int openDescriptors()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count - 1; // the directory's own descriptor
}

inline long residentBytes()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

} // namespace probe
