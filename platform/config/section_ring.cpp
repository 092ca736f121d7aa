#include "platform/config/section_ring.h"

#include <stdlib.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace Configuration {

uint32_t SectionSize(size_t size) {
    if (size > UINT32_MAX) throw std::length_error("sectioned file: section too large");
    return static_cast<uint32_t>(size);
}

char* AllocateText(size_t size) {
    char* block = static_cast<char*>(malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

SectionRing::~SectionRing() {
    free(mpSlots);
}

void SectionRing::Fit(unsigned capacity) {
    SectionText* slots =
        static_cast<SectionText*>(malloc(sizeof(SectionText) * std::max(capacity, 1u)));
    if (slots == nullptr) throw std::bad_alloc();
    for (unsigned p = 0; p < mCount; ++p) slots[p] = At(p);
    free(mpSlots);
    mpSlots = slots;
    mCapacity = capacity;
    mFirst = 0;
}

void SectionRing::Insert(unsigned position, SectionText slot) {
    if (mCount == mCapacity) Fit(mCapacity + mCapacity / 4 + 16);
    if (position == 0) {
        mFirst = mFirst == 0 ? mCapacity - 1 : mFirst - 1;
    } else {
        for (unsigned p = mCount; p > position; --p) At(p) = At(p - 1);
    }
    ++mCount;
    At(position) = slot;
}

void SectionRing::Remove(unsigned position) {
    if (position < mCount / 2) {
        for (unsigned p = position; p > 0; --p) At(p) = At(p - 1);
        mFirst = mFirst + 1 == mCapacity ? 0 : mFirst + 1;
    } else {
        for (unsigned p = position; p + 1 < mCount; ++p) At(p) = At(p + 1);
    }
    --mCount;
}

}  // namespace Configuration
