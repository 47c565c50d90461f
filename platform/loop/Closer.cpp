#include "Closer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

// Shared with the thread, which may outlive the closer.
struct Closer::State {
    std::mutex mutex;
    std::condition_variable more;
    std::condition_variable finishedAll;
    std::deque<std::pair<uint64_t, int>> queue;
    std::unordered_map<uint64_t, size_t> perSender;
    size_t total = 0;
    bool ending = false;
    bool finished = false;
};

namespace {

// A socket closed without lingering returns at once, whatever it holds
// unsent. Anything else (ENOTSOCK) has no lingering to turn off.
void closeAtOnce(int fd)
{
    const linger none{0, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &none, sizeof none);
    close(fd);
}

} // namespace

void Closer::closeQueued(const std::shared_ptr<State>& state)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->more.wait(lock, [&] { return !state->queue.empty() || state->ending; });
        if (state->queue.empty())
            break;
        const auto [sender, fd] = state->queue.front();
        state->queue.pop_front();
        lock.unlock();
        closeAtOnce(fd);
        lock.lock();
        if (--state->perSender[sender] == 0)
            state->perSender.erase(sender);
        --state->total;
    }
    state->finished = true;
    state->finishedAll.notify_all();
}

Closer::Closer(size_t pendingPerSender) : state_(std::make_shared<State>()), pendingPerSender_(pendingPerSender) {}

Closer::~Closer()
{
    if (!thread_.joinable())
        return;
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->ending = true;
    state_->more.notify_one();
    const bool finished = state_->finishedAll.wait_for(lock, kEndWait, [this] { return state_->finished; });
    lock.unlock();
    // A close that still blocks keeps the thread, and the state it shares,
    // until it returns or the process ends.
    if (finished)
        thread_.join();
    else
        thread_.detach();
}

bool Closer::take(uint64_t sender, std::vector<int> fds)
{
    if (fds.empty())
        return true;
    bool within;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!startThread()) {
            // The last resort: sockets that no longer linger close at once.
            for (int fd : fds)
                closeAtOnce(fd);
            return false;
        }
        size_t& pending = state_->perSender[sender];
        within = pending + fds.size() <= pendingPerSender_;
        for (int fd : fds)
            state_->queue.emplace_back(sender, fd);
        pending += fds.size();
        state_->total += fds.size();
    }
    state_->more.notify_one();
    return within;
}

bool Closer::startThread()
{
    if (thread_.joinable())
        return true;
    // The one exception that can come from here says the system has no
    // thread for us now.
    try {
        thread_ = std::thread(closeQueued, state_);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool Closer::full(uint64_t sender) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto pending = state_->perSender.find(sender);
    return pending != state_->perSender.end() && pending->second >= pendingPerSender_;
}

size_t Closer::pending() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->total;
}
