// The lookdev server's undo history: each step is what one change set on a
// light, the values before and after, so that every page undoes the same.
#ifndef OSKA_RENDER_LOOKDEV_HISTORY_H
#define OSKA_RENDER_LOOKDEV_HISTORY_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <deque>
#include <string>

namespace oska::render::lookdev {

// NOLINTNEXTLINE(bugprone-exception-escape): its moves are json's and string's, which do not throw
struct Step {
    std::size_t light;
    nlohmann::json before, after; // parameter name -> value
    std::string stroke;           // the drag it came from; "" for none
};

class History {
  public:
    // Records a change of `light`, after which what is undone is gone. A
    // change that continues the last step's stroke on the same light joins
    // that step: one drag of a slider is one step.
    void record(std::size_t light, const nlohmann::json &before, const nlohmann::json &after,
                const std::string &stroke) {
        if (at_ == steps_.size() && at_ > 0 && !stroke.empty() && steps_.back().stroke == stroke &&
            steps_.back().light == light) {
            Step &last = steps_.back();
            for (auto it = after.begin(); it != after.end(); ++it) {
                if (!last.before.contains(it.key())) {
                    last.before[it.key()] = before[it.key()];
                }
                last.after[it.key()] = *it;
            }
            return;
        }
        steps_.resize(at_);
        steps_.push_back({light, before, after, stroke});
        if (steps_.size() > kKept) {
            steps_.pop_front();
        }
        at_ = steps_.size();
    }

    // The step that undo (`back`) or redo would take, or nullptr.
    const Step *next(bool back) const {
        if (back) {
            return at_ > 0 ? &steps_[at_ - 1] : nullptr;
        }
        return at_ < steps_.size() ? &steps_[at_] : nullptr;
    }
    // That step is taken.
    void take(bool back) {
        if (back) {
            --at_;
        } else {
            ++at_;
        }
    }

    std::size_t undoable() const { return at_; }
    std::size_t redoable() const { return steps_.size() - at_; }

  private:
    static constexpr std::size_t kKept = 1000;
    std::deque<Step> steps_;
    std::size_t at_ = 0; // steps before it are done, from it on undone
};

} // namespace oska::render::lookdev

#endif
