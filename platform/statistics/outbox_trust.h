// What the delivery agent and cdrctl accept in the outbox. The outbox may be writable by a pickup
// group, or handed to another user by mistake; whoever else can write there could plant a link
// to a file they cannot read, a file of their own, or something other than a FIFO where the
// agent listens for wake-ups. These checks refuse all of that: only a folder owned by root or by
// the recorder's user (this process's) that others cannot write is delivered from, only regular
// files of those owners with a single link are delivered, and only a FIFO of this user is
// listened on or written to.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Why the outbox folder `directory` must not be delivered from ("owned by uid 65534", "writable
// by others (mode 0777)", "not a folder"), links to it followed; empty when it may, and when it
// is absent (whoever creates it then is this process). Never throws: a folder that cannot be
// examined is refused with the reason.
std::string OutboxFolderProblem(const std::string& directory);

// Why a file whose status (lstat or fstat) is `status` must not be delivered ("a symbolic link",
// "owned by uid 65534", "2 links to it"); empty when it may.
std::string DeliveryFileProblem(const struct stat& status);

// The same for the file at `path`, judged through a descriptor opened without following a link
// and without blocking (a FIFO put there never stalls the caller), so the answer is about what
// was really opened. Empty when it may be delivered.
std::string OpenedFileProblem(const std::string& path);

// The agent's end of the wake-up FIFO.
struct WakeFifo {
    int fd = -1;           // read and write, non-blocking; -1 when none could be had
    std::string replaced;  // what stood at the path instead of our FIFO, when it was replaced
    std::string problem;   // why fd is -1
};

// Opens the wake-up FIFO at `path` for the agent, making it when missing. Anything there other
// than a FIFO owned by this process's user (a regular file, a link, another user's FIFO) is
// removed and a FIFO made anew. The FIFO is opened without following a link and without
// blocking, and checked through its descriptor. Never throws.
WakeFifo OpenAgentWakeFifo(const std::string& path);

// True while the file at `path` (not followed) is the one open as `fd`.
bool StillAt(int fd, const std::string& path);

// Opens the wake-up FIFO at `path` to write a wake-up into it, without following a link and
// without blocking. Only a FIFO owned by root, this process's user or `folderOwner` (the outbox
// folder's owner, under whom the recorder may run) is opened; anything else is left as it is.
// Returns the descriptor, or -1 with `*problem` saying why.
int OpenWakeFifoToWrite(const std::string& path, uid_t folderOwner, std::string* problem);
