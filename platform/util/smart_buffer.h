// An owned, fixed-size character buffer for reading one setting value.
#pragma once

#include <memory>

class SmartBuffer {
  public:
    // Room for any one setting value with its NUL.
    static constexpr unsigned kDefaultSize = 1024;

    // A buffer of `size` bytes, holding the empty text. Throws std::bad_alloc.
    explicit SmartBuffer(unsigned size = kDefaultSize)
        : mpData(new char[size > 0 ? size : 1]()), mSize(size) {}
    SmartBuffer(const SmartBuffer&) = delete;
    SmartBuffer& operator=(const SmartBuffer&) = delete;

    char* GetData() { return mpData.get(); }
    const char* GetData() const { return mpData.get(); }
    unsigned GetSize() const { return mSize; }

  private:
    std::unique_ptr<char[]> mpData;
    unsigned mSize;
};
