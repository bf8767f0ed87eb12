// How the host lets program runs go: at most a few at once, the rest waiting
// briefly in arrival order, and identical requests sharing one run's answer.
// Plain threading, no operating-system calls.
#pragma once

#include "request.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Lets at most `running` program runs go at once. Up to `waiting` more wait
// for a free place, first come first served, each for at most `wait`.
class RunGate {
  public:
    enum Entry {
        ENTERED, // the caller runs, and calls leave() when done
        FULL,    // `waiting` others already wait
        TIMEOUT, // no place became free within `wait`
    };

    RunGate(int running, int waiting, std::chrono::milliseconds wait);
    Entry enter();
    void leave();

  private:
    const int running_max_;
    const size_t waiting_max_;
    const std::chrono::milliseconds wait_;
    std::mutex lock_;
    std::condition_variable changed_;
    int running_ = 0;
    std::list<unsigned long> queue_; // the waiters' tickets, in arrival order
    unsigned long next_ticket_ = 0;
};

// Holds back the answers to wrong passwords from one client address: each
// wrong password in a row waits longer (100 ms, doubling up to 3 s), and
// the answers to one address go out one after another, never faster than
// those waits, however many requests it sends at once. A request with a
// password that passes is never held back, and ends the row.
class WrongPasswords {
  public:
    using Clock = std::chrono::steady_clock;
    // A wrong password from `client` at `now`: how long to hold its answer.
    std::chrono::milliseconds failed(const std::string &client, Clock::time_point now);
    // A password from `client` that passed.
    void passed(const std::string &client);

  private:
    struct Row {
        int count = 0;
        Clock::time_point release; // when the last held answer goes out
    };
    std::mutex lock_;
    std::map<std::string, Row> rows_;
};

// Shares a run's answer between identical requests: while a run for a key is
// going, requests with the same key wait for its answer instead of running
// again. A run that ended is forgotten; the next request runs anew.
class SharedRuns {
  public:
    // The answer of `run`, or that of the going run for `key`. An empty key
    // never shares.
    std::shared_ptr<const Answer> answer(const std::string &key,
                                         const std::function<Answer()> &run);

  private:
    struct Run {
        std::shared_ptr<const Answer> answer; // set when the run has ended
    };
    // Hands `answer` to those waiting for `run` and forgets the run.
    void finish(const std::string &key, Run &run, std::shared_ptr<const Answer> answer);

    std::mutex lock_;
    std::condition_variable ended_;
    std::map<std::string, std::shared_ptr<Run>> going_;
};
