// The end-to-end host: loads the library as a host program of this system does and runs the
// shared cases against its six exports.
//
//   host [--adapter complete|missing|lacking-entry-point] [--bridge PRESET=PORT]...
//        [--text PORT] [--absent-port PORT] [--record FILE] [--compare FILE] [--case NAME]...
//   host --bridge-presets     the head presets to start bridges with, one a line
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cases.h"
#include "host.h"

namespace {

using namespace e2e;

constexpr const char *kAdapterSetups[] = {"complete", "missing", "lacking-entry-point"};

bool ParseAdapterSetup(std::string_view text, AdapterSetup &setup) {
    for (size_t i = 0; i < std::size(kAdapterSetups); ++i) {
        if (text == kAdapterSetups[i]) {
            setup = static_cast<AdapterSetup>(i);
            return true;
        }
    }
    return false;
}

// False after saying what is wrong.
bool ParseArguments(int argc, char **argv, HostOptions &options, RunSettings &settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s: missing value\n", argv[i]);
            return false;
        }
        const std::string value = argv[++i];
        if (option == "--adapter") {
            if (!ParseAdapterSetup(value, options.adapter)) {
                std::fprintf(stderr, "--adapter %s: unknown setup\n", value.c_str());
                return false;
            }
        } else if (option == "--bridge") {
            const size_t equals = value.find('=');
            if (equals == std::string::npos || FindHeadModel(value.substr(0, equals)) == nullptr) {
                std::fprintf(stderr, "--bridge %s: expected PRESET=PORT\n", value.c_str());
                return false;
            }
            options.bridges.push_back({value.substr(0, equals), value.substr(equals + 1)});
        } else if (option == "--text") {
            options.textPort = value;
        } else if (option == "--absent-port") {
            options.absentPort = value;
        } else if (option == "--record") {
            settings.recordTo = value;
        } else if (option == "--compare") {
            settings.compareWith = value;
        } else if (option == "--case") {
            settings.only.push_back(value);
        } else {
            std::fprintf(stderr, "%s: unknown option\n", argv[i - 1]);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--bridge-presets") {
        for (const HeadModel &model : HeadModels()) std::printf("%s\n", model.preset);
        return 0;
    }
    HostOptions options;
    RunSettings settings;
    if (!ParseArguments(argc, argv, options, settings)) return 2;

    void *addresses[std::size(kExports)] = {};
    std::string problem;
    if (!LoadLibraryUnderTest(kExports, addresses, problem)) {
        std::printf("cannot load the library: %s\n0 passed, 1 failed, 0 skipped\n",
                    problem.c_str());
        return 1;
    }
    Configure(ExportsAt(addresses), std::move(options));

    std::vector<TestCase> cases;
    for (const std::span<const TestCase> part : {BasicCases(), AdapterCases(), SerialCases()}) {
        cases.insert(cases.end(), part.begin(), part.end());
    }
    return RunCases(cases, settings);
}
