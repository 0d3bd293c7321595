#pragma once
// What an operation changed on the machine, undone last first when it fails.

#include <functional>
#include <utility>
#include <vector>

namespace vorn {

class UndoLog {
public:
    UndoLog() = default;
    UndoLog(const UndoLog&) = delete;
    UndoLog& operator=(const UndoLog&) = delete;

    void add(std::function<void()> undo) { undos_.push_back(std::move(undo)); }
    // Runs every registered undo once, the last registered first.
    void run() {
        while (!undos_.empty()) {
            std::function<void()> undo = std::move(undos_.back());
            undos_.pop_back();
            undo();
        }
    }
    // The operation succeeded: what it did stays.
    void keep() { undos_.clear(); }
    bool empty() const { return undos_.empty(); }

private:
    std::vector<std::function<void()>> undos_;
};

}  // namespace vorn
