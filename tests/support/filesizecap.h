// Caps the size of every file this process writes, while it lives.
#ifndef FILESIZECAP_H
#define FILESIZECAP_H

#include <signal.h>
#include <sys/resource.h>

struct FileSizeCap {
    explicit FileSizeCap(rlim_t bytes)
    {
        oldHandler = signal(SIGXFSZ, SIG_IGN); // a write past the cap fails with EFBIG instead
        ok = getrlimit(RLIMIT_FSIZE, &old) == 0;
        rlimit cap = old;
        cap.rlim_cur = bytes;
        ok = ok && setrlimit(RLIMIT_FSIZE, &cap) == 0;
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
    }
    bool ok = false;
    rlimit old{};
    void (*oldHandler)(int) = nullptr;
};

#endif
