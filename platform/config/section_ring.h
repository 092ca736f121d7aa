// The index of a sectioned file's sections: a ring of (text, size) pairs, so that adding a
// section at either end and removing the first or last one take constant time whatever the
// number of sections. It owns only the ring itself, never the texts its entries point to.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace Configuration {

// One section's text: a slice of a loaded file, or a heap block of its own.
struct SectionText {
    char* text;
    uint32_t size;
};

// `size` as a section's size; throws std::length_error when the index cannot hold it.
uint32_t SectionSize(size_t size);

// A heap block of `size` bytes for a section's text (released with free); throws
// std::bad_alloc.
char* AllocateText(size_t size);

class SectionRing {
  public:
    SectionRing() = default;
    ~SectionRing();
    SectionRing(const SectionRing&) = delete;
    SectionRing& operator=(const SectionRing&) = delete;

    unsigned Count() const { return mCount; }
    // The entry at `position`, from 0 (first) to Count() - 1.
    SectionText& At(unsigned position) const {
        const unsigned index = mFirst + position;
        return mpSlots[index < mCapacity ? index : index - mCapacity];
    }
    // Puts `slot` at `position` (0 to Count()); the entries from there on move back one. Throws
    // std::bad_alloc when the ring cannot grow, leaving it as it was.
    void Insert(unsigned position, SectionText slot);
    // Takes out the entry at `position`, moving the shorter side of the ring.
    void Remove(unsigned position);
    // Gives the ring room for exactly `capacity` entries (at least Count(), and one at the
    // least). Throws std::bad_alloc, leaving it as it was.
    void Fit(unsigned capacity);
    // Forgets every entry; the texts are the caller's to release first.
    void Clear() { mFirst = mCount = 0; }

  private:
    // Position p is mpSlots[(mFirst + p) % mCapacity].
    SectionText* mpSlots = nullptr;
    unsigned mCapacity = 0, mFirst = 0, mCount = 0;
};

}  // namespace Configuration
