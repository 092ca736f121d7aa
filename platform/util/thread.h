// Threads of the operating system, and this process's own command line.
#pragma once

class Thread {
  public:
    using Procedure = unsigned long (*)(void* argument);

    // Runs `procedure(argument)` on a new, detached thread. `stackSize` 0 takes the system's
    // default, otherwise the stack's size in bytes. Returns false when no thread could be started.
    static bool BeginThread(Procedure procedure, void* argument, unsigned long stackSize);

    // Copies part of this process's command line (/proc/self/cmdline) into `buffer`: at most
    // `size` - 1 characters and a NUL. What is copied:
    //   programPath true:  the program path (argument 0);
    //   programPath false: the arguments after it, joined by single spaces, which is what a
    //                      restarted copy of the program must be given;
    //   fullLine true:     the program path and the arguments, joined by single spaces;
    //   absolute true:     the program path as the kernel knows it (/proc/self/exe).
    // Returns false, with an empty text, when the command line cannot be read.
    static bool GetCommandLine(char* buffer, unsigned size, bool programPath, bool fullLine,
                               bool absolute);
};
