#include "mqtt_buffer.h"

#include <algorithm>
#include <utility>

void PublicationBuffer::Add(MqttMessage message) {
    std::lock_guard lock(mutex_);
    Enqueue(std::move(message), 0);
}

void PublicationBuffer::AddSample(std::vector<MqttMessage> messages) {
    if (messages.empty()) return;
    std::lock_guard lock(mutex_);
    MakeRoomForSample();
    ++queuedSamples_;
    const uint64_t number = ++lastSample_;
    for (MqttMessage &message : messages) Enqueue(std::move(message), number);
}

// Under the lock.
void PublicationBuffer::Enqueue(MqttMessage message, uint64_t sample) {
    if (message.retain) retained_[message.topic] = message;
    queue_.push_back({.message = std::move(message), .sample = sample});
}

// Under the lock: makes room for one more sample by dropping the oldest ones' messages.
void PublicationBuffer::MakeRoomForSample() {
    const auto ofSample = [](const BufferedMessage &buffered) { return buffered.sample != 0; };
    while (queuedSamples_ >= mostSamples_) {
        const auto oldest = std::find_if(queue_.begin(), queue_.end(), ofSample);
        if (oldest == queue_.end()) return;
        // A sample's messages are queued together, so they leave together.
        const uint64_t sample = oldest->sample;
        const auto end = std::find_if(oldest, queue_.end(),
                                      [sample](const BufferedMessage &buffered) { return buffered.sample != sample; });
        if (std::any_of(oldest, end, [](const BufferedMessage &buffered) { return buffered.message.retain; }))
            republishRetained_ = true;
        queue_.erase(oldest, end);
        --queuedSamples_;
        ++droppedSamples_;
    }
}

std::vector<BufferedMessage> PublicationBuffer::Take(size_t most) {
    std::vector<BufferedMessage> batch;
    std::lock_guard lock(mutex_);
    if (std::exchange(republishRetained_, false)) {
        // The current values; what is still queued for the same topics ends with them.
        for (const auto &[topic, message] : retained_) batch.push_back({.message = message});
    }
    while (!queue_.empty() && batch.size() < most) {
        if (queue_.front().sample != 0 && (queue_.size() == 1 || queue_[1].sample != queue_.front().sample))
            --queuedSamples_;  // the sample's last message leaves the buffer
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    return batch;
}

void PublicationBuffer::PutBack(std::vector<BufferedMessage> messages) {
    std::lock_guard lock(mutex_);
    for (auto buffered = messages.rbegin(); buffered != messages.rend(); ++buffered)
        queue_.push_front(std::move(*buffered));
    // Recount the samples, whose messages are whole again or in part.
    queuedSamples_ = 0;
    uint64_t previous = 0;
    for (const BufferedMessage &buffered : queue_) {
        if (buffered.sample != 0 && buffered.sample != previous) ++queuedSamples_;
        previous = buffered.sample;
    }
}

void PublicationBuffer::RepublishRetained() {
    std::lock_guard lock(mutex_);
    republishRetained_ = true;
}

bool PublicationBuffer::Empty() {
    std::lock_guard lock(mutex_);
    return queue_.empty();
}

uint64_t PublicationBuffer::TakeDropped() {
    std::lock_guard lock(mutex_);
    return std::exchange(droppedSamples_, 0);
}
