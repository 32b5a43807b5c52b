// Samples as Server-Sent Events: what a stream asks for, the events it gets, and the queue between
// the sampler (which must never wait for a client) and the connection writing to the client.
#pragma once

#include "access_policy.h"
#include "sampler_hub.h"

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct StreamRequest {
    std::vector<std::string> commands;
    std::chrono::milliseconds interval{1000};
};

// commands: comma-separated queries ("?P,?C"); interval: seconds, 0.05 to 3600 (default 1).
// Only queries may be streamed.
std::optional<Refusal> ReadStreamRequest(const std::string &commands, const std::string &interval,
                                         StreamRequest &request);

// "2026-12-08T23:59:01.250Z"
std::string FormatTime(std::chrono::system_clock::time_point time);

// The readings of a sample as JSON: command, status (with error and message when failed), reply,
// and the value when the reply is a number.
Json SampleJson(const std::string &device, const Sample &sample);

// "event: sample" with the readings, or "event: error" when the device could not be asked or a
// reading did not reach the head; the stream goes on either way.
std::string SampleEvent(const std::string &device, const Sample &sample);

// Events waiting for a slow client: the oldest are dropped beyond a few, so a stalled client
// costs a bounded amount of memory and never holds the sampler.
class EventQueue {
public:
    void Push(std::string event);
    // Called (on the pushing thread, so it must not block) after each event pushed, and at once
    // when events wait already; nullptr for no one.
    void OnArrival(std::function<void()> arrived);
    // The next event, if one waits.
    std::optional<std::string> Pop();
    // A comment line now and then, so a proxy or the client sees the stream alive; empty when
    // not due.
    std::string KeepAlive();

private:
    static constexpr size_t kMostWaiting = 16;
    std::mutex mutex_;
    std::function<void()> arrived_;
    std::deque<std::string> events_;
    std::chrono::steady_clock::time_point lastWrite_ = std::chrono::steady_clock::now();
};
