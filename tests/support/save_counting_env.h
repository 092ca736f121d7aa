// Counts the saves (renames onto a path) made through the environment while it is installed.
#pragma once

#include <string>
#include <vector>

#include "platform/util/env.h"

class SaveCountingEnv : public ForwardingEnv {
  public:
    explicit SaveCountingEnv(Env* target) : ForwardingEnv(target) {
        mpPrevious = Env::SetCurrent(this);
    }
    ~SaveCountingEnv() override { Env::SetCurrent(mpPrevious); }

    int Rename(const char* from, const char* to) override {
        mSaves.push_back(to);
        return ForwardingEnv::Rename(from, to);
    }
    // Saves of the program's `path` so far.
    int SavesOf(const std::string& path) const {
        int count = 0;
        for (const std::string& saved : mSaves) count += saved == path ? 1 : 0;
        return count;
    }

    // Saves of any path that begins with `prefix`.
    int SavesUnder(const std::string& prefix) const {
        int count = 0;
        for (const std::string& saved : mSaves) count += saved.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }

  private:
    Env* mpPrevious;
    std::vector<std::string> mSaves;
};
