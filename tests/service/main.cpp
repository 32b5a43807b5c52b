// The service's in-process tests. Their workers are this program started again in the worker
// mode, as `mavozarp` is by the service.
#include "worker_main.h"
#include "worker_process.h"

#include <gtest/gtest.h>

#include <string>

int main(int argc, char **argv) {
    if (argc >= 2 && std::string(argv[1]) == kWorkerMode) return RunServeWorker(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
