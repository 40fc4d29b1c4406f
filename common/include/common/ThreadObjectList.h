// An owning list of objects that several threads share.
#pragma once

#include "common/ThreadObject.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qor {

// Owns its elements and frees them when they are deleted, cleared or the list
// dies. Every operation takes the list's lock; a walk over the elements holds
// it for the whole walk (SectionLock, or Lock/Unlock), and since the lock is
// re-entrant the operations may be called inside the walk.
template <class T>
class TThreadObjectList : public TThreadObject {
public:
    T* Add(std::unique_ptr<T> item) {
        SectionLock lock(*this);
        items_.push_back(std::move(item));
        return items_.back().get();
    }
    T* Insert(std::size_t index, std::unique_ptr<T> item) {
        SectionLock lock(*this);
        CheckIndex(index, items_.size() + 1);
        return items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(item))->get();
    }
    // Frees the element.
    void Delete(std::size_t index) {
        SectionLock lock(*this);
        CheckIndex(index, items_.size());
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    // Removes the element without freeing it; null when it is not in the list.
    std::unique_ptr<T> Extract(const T* item) {
        SectionLock lock(*this);
        for (auto it = items_.begin(); it != items_.end(); ++it)
            if (it->get() == item) {
                auto owned = std::move(*it);
                items_.erase(it);
                return owned;
            }
        return nullptr;
    }
    // Frees every element (last first).
    void Clear() {
        SectionLock lock(*this);
        while (!items_.empty())
            items_.pop_back();
    }
    std::size_t Count() {
        SectionLock lock(*this);
        return items_.size();
    }
    // Throws std::out_of_range for a bad index.
    T* Items(std::size_t index) {
        SectionLock lock(*this);
        CheckIndex(index, items_.size());
        return items_[index].get();
    }
    T* operator[](std::size_t index) { return Items(index); }
    // -1 when not in the list.
    std::ptrdiff_t IndexOf(const T* item) {
        SectionLock lock(*this);
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (items_[i].get() == item)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    }

    // Iteration over the elements; hold the lock while iterating.
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

private:
    static void CheckIndex(std::size_t index, std::size_t limit) {
        if (index >= limit)
            throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }

    std::vector<std::unique_ptr<T>> items_;
};

} // namespace qor
