// The unit tests' main: every test has a deadline, so that a thread waiting
// for a wake-up that never comes fails its test in seconds, not at the
// suite's time-out. BYTEHUNT_TEST_DEADLINE (seconds) overrides the build's
// own, which is longer under sanitizers and emulators.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Ends the process when a test is still running at its deadline: its threads
// wait on each other, and nothing else could stop them.
class deadline_watch final : public testing::EmptyTestEventListener {
public:
    explicit deadline_watch(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
    ~deadline_watch() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            changed_.notify_one();
        }
        thread_.join();
    }

private:
    void OnTestStart(const testing::TestInfo& test) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        due_ = std::chrono::steady_clock::now() + limit_;
        ++test_;
        changed_.notify_one();
    }
    void OnTestEnd(const testing::TestInfo& /*test*/) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++test_;
        changed_.notify_one();
    }

    // Tests are counted twice, at their start and at their end: an odd count
    // is a test running.
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return done_ || test_ % 2 == 1; });
            if (done_) return;
            const std::uint64_t running = test_;
            const auto due = due_;
            if (changed_.wait_until(lock, due, [&] { return done_ || test_ != running; })) continue;
            std::fprintf(stderr, "%s still running after %lld s: a thread waits for a wake-up?\n",
                         name_.c_str(), static_cast<long long>(limit_.count()));
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string name_;
    std::chrono::steady_clock::time_point due_{};
    std::uint64_t test_ = 0;
    bool done_ = false;
    std::thread thread_;  // last: started once the rest is in place
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const char* given = std::getenv("BYTEHUNT_TEST_DEADLINE");
    const long long seconds =
        given != nullptr && std::atoll(given) > 0 ? std::atoll(given) : BYTEHUNT_TEST_DEADLINE;
    deadline_watch watch{std::chrono::seconds(seconds)};
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    listeners.Append(&watch);
    const int result = RUN_ALL_TESTS();
    listeners.Release(&watch);
    return result;
}
