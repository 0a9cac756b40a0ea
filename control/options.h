#ifndef OPTIONS_H
#define OPTIONS_H

// Command-line options of the program: "-t 0" turns on useT0, "-l n" sets the
// run-file size limit in MiB (default 1024).
struct Options {
    bool useT0 = false;
    int limitMiB = 1024;
};

// Parses argv with getopt and the option string "t:l:". Prints "use t=0" for
// every -t whose value reads as 0.
Options parseOptions(int argc, char **argv);

#endif
