#include "platform/Descriptors.h"

#include <climits>
#include <dirent.h>
#include <sys/resource.h>

void RaiseDescriptorLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

int DescriptorLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(files.rlim_cur);
}

int OpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count - 1; // the folder's own
}
