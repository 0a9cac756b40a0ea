#include "options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

Options parseOptions(int argc, char **argv)
{
    Options opts;
    optind = 0; // glibc: full re-initialisation, so the parser can run again
    int c;
    while ((c = getopt(argc, argv, "t:l:")) != -1) {
        switch (c) {
        case 't':
            if (strtol(optarg, nullptr, 0) == 0) {
                fputs("use t=0\n", stdout);
                fflush(stdout);
                opts.useT0 = true;
            }
            break;
        case 'l': {
            long n = strtol(optarg, nullptr, 0);
            if (n > 0)
                opts.limitMiB = n > INT_MAX ? INT_MAX : int(n);
            break;
        }
        default:
            break;
        }
    }
    return opts;
}
