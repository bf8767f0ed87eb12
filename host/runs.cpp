#include "runs.h"

RunGate::RunGate(int running, int waiting, std::chrono::milliseconds wait)
    : running_max_(running), waiting_max_((size_t)waiting), wait_(wait) {}

RunGate::Entry RunGate::enter() {
    std::unique_lock<std::mutex> lock(lock_);
    if (running_ < running_max_ && queue_.empty()) {
        running_++;
        return ENTERED;
    }
    if (queue_.size() >= waiting_max_) return FULL;
    unsigned long ticket = next_ticket_++;
    queue_.push_back(ticket);
    bool turn = changed_.wait_for(
        lock, wait_, [&] { return running_ < running_max_ && queue_.front() == ticket; });
    if (turn) {
        queue_.pop_front();
        running_++;
    } else {
        queue_.remove(ticket);
    }
    // The next in line may go now, or has become the first.
    changed_.notify_all();
    return turn ? ENTERED : TIMEOUT;
}

void RunGate::leave() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        running_--;
    }
    changed_.notify_all();
}

std::shared_ptr<const Answer> SharedRuns::answer(const std::string &key,
                                                 const std::function<Answer()> &run) {
    if (key.empty()) return std::make_shared<const Answer>(run());
    std::shared_ptr<Run> mine;
    {
        std::unique_lock<std::mutex> lock(lock_);
        auto it = going_.find(key);
        if (it != going_.end()) {
            std::shared_ptr<Run> theirs = it->second;
            ended_.wait(lock, [&] { return theirs->answer != nullptr; });
            return theirs->answer;
        }
        mine = std::make_shared<Run>();
        going_.emplace(key, mine);
    }
    std::shared_ptr<const Answer> result;
    try {
        result = std::make_shared<const Answer>(run());
    } catch (...) {
        // Those waiting get an answer all the same.
        Answer failed;
        failed.status = 500;
        failed.content_type = "text/plain; charset=utf-8";
        failed.body = "500 Internal Server Error\n";
        result = std::make_shared<const Answer>(std::move(failed));
        finish(key, *mine, result);
        throw;
    }
    finish(key, *mine, result);
    return result;
}

void SharedRuns::finish(const std::string &key, Run &run, std::shared_ptr<const Answer> answer) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        run.answer = std::move(answer);
        going_.erase(key);
    }
    ended_.notify_all();
}

std::chrono::milliseconds WrongPasswords::failed(const std::string &client, Clock::time_point now) {
    const int FIRST_MS = 100, MAX_MS = 3000;
    const auto FORGET = std::chrono::minutes(10);
    std::lock_guard<std::mutex> lock(lock_);
    // Rows of addresses quiet for a while are forgotten, so that the table
    // stays small.
    if (rows_.size() > 4096)
        for (auto it = rows_.begin(); it != rows_.end();)
            it = now - it->second.release > FORGET ? rows_.erase(it) : std::next(it);
    Row &row = rows_[client];
    if (row.count > 0 && now - row.release > FORGET) row.count = 0;
    row.count++;
    long long wait = FIRST_MS;
    for (int i = 1; i < row.count && wait < MAX_MS; i++) wait *= 2;
    if (wait > MAX_MS) wait = MAX_MS;
    Clock::time_point from = row.release > now ? row.release : now;
    row.release = from + std::chrono::milliseconds(wait);
    return std::chrono::duration_cast<std::chrono::milliseconds>(row.release - now);
}

void WrongPasswords::passed(const std::string &client) {
    std::lock_guard<std::mutex> lock(lock_);
    rows_.erase(client);
}
