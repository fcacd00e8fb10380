#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>

namespace orvanta::capture {

// A first-in, first-out list of objects. Not locked; its owner locks around it.
template <typename T>
class Queue {
public:
    // Puts the object at the young end.
    void addItem(std::shared_ptr<T> item) { items_.push_back(std::move(item)); }

    // Removes the oldest object and hands it to the caller; null when the queue is empty.
    std::shared_ptr<T> returnAndRemoveOldest() {
        if (items_.empty()) return nullptr;
        std::shared_ptr<T> oldest = std::move(items_.front());
        items_.pop_front();
        return oldest;
    }

    std::size_t count() const { return items_.size(); }

private:
    std::deque<std::shared_ptr<T>> items_;
};

}  // namespace orvanta::capture
