// The Prometheus text format: every numeric reading of each device's status panel as a gauge
// labelled by device and head type, the fault word's named flags as 0/1 gauges, command counts
// and failures by status, and the time the scrape took. Panels come from the sampler hub's cache,
// so scrapers share reads with each other and with status requests.
#pragma once

#include "device_registry.h"

#include <chrono>
#include <functional>
#include <string>

// Asks every device for its panel at once; `done` gets the text once the last has answered. On
// the event loop.
void CollectMetrics(const DeviceRegistry &registry, std::chrono::milliseconds statusMaxAge,
                    std::function<void(std::string)> done);
