#include "util/ReadAhead.h"

#include "util/Files.h"

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane::util {
namespace {

// Three blocks of 256 KiB: the hash takes a block while it is still in the reading core's
// cache. With a larger ring it takes blocks that have gone out to memory, and hashing those
// costs more than the copy the second core saves (measured on a 2-core machine: 256 KiB x 3
// ran at 1.18x openssl, 1 MiB x 4 at 1.0x).
constexpr size_t kSlots = 3;
constexpr size_t kSlotBytes = kReadAheadBytes / kSlots;

/// A ring of blocks: the reader fills them in turn, the consumer empties them in turn.
class Ring {
  public:
    /// The reader's side: runs until the end, an error or `stop`.
    void produce(int fd, uint64_t limit) {
        uint64_t done = 0;
        for (uint64_t next = 0; done < limit; ++next) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return next - consumed_ < kSlots || stopped_; });
                if (stopped_) {
                    return;
                }
            }
            Slot& slot = slots_[next % kSlots];
            if (!slot.data) {
                slot.data = std::make_unique<char[]>(kSlotBytes);
            }
            const auto got =
                readUpTo(fd, slot.data.get(),
                         static_cast<size_t>(std::min<uint64_t>(kSlotBytes, limit - done)));
            std::lock_guard lock(mutex_);
            if (!got || *got == 0) {
                failed_ = !got;
                break;
            }
            slot.size = *got;
            done += *got;
            produced_ = next + 1;
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    /// The consumer's side: every block in order. Whether all were read without an error.
    bool drain(const std::function<void(std::string_view)>& consume, uint64_t& done,
               const std::function<void(uint64_t)>& progress) {
        for (uint64_t next = 0;; ++next) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return produced_ > next || ended_; });
                if (produced_ == next) {
                    return !failed_;
                }
            }
            const Slot& slot = slots_[next % kSlots];
            consume(std::string_view(slot.data.get(), slot.size));
            done += slot.size;
            if (progress) {
                progress(done);
            }
            std::lock_guard lock(mutex_);
            consumed_ = next + 1;
            changed_.notify_all();
        }
    }

    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

  private:
    struct Slot {
        std::unique_ptr<char[]> data;
        size_t size = 0;
    };
    std::array<Slot, kSlots> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t produced_ = 0; // blocks filled
    uint64_t consumed_ = 0; // blocks handed back
    bool ended_ = false;
    bool failed_ = false;
    bool stopped_ = false;
};

} // namespace

std::optional<uint64_t> readAhead(int fd, uint64_t limit,
                                  const std::function<void(std::string_view)>& consume,
                                  const std::function<void(uint64_t)>& progress) {
    Ring ring;
    std::thread reader([&ring, fd, limit] { ring.produce(fd, limit); });
    // The reader must be gone before the ring, also when `consume` throws.
    const auto joined = [&] {
        ring.stop();
        reader.join();
    };
    uint64_t done = 0;
    bool ok = false;
    try {
        ok = ring.drain(consume, done, progress);
    } catch (...) {
        joined();
        throw;
    }
    joined();
    return ok ? std::optional(done) : std::nullopt;
}

} // namespace corvane::util
