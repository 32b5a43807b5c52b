#!/usr/bin/env bash
# Imports run one way: programs (tools/, service/) -> client/ -> the public header. The service and
# the client layer include nothing of the tool, and the client layer nothing of the service.
# Prints every include that breaks this and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."

tool_headers=$(cd tools && ls -- *.h)
service_headers=$(cd service && ls -- *.h)
status=0
check() {  # folder, then the headers it must not include
  local folder=$1; shift
  for header in "$@"; do
    if grep -rnE "#include\s+\"(tools/)?${header}\"" "${folder}" --include='*.cpp' --include='*.h'; then
      status=1
    fi
  done
}
check service ${tool_headers}
check client ${tool_headers} ${service_headers}
# The client layer must build without the tool's command-line and line-editing libraries.
if grep -rnE '#include\s+[<"](CLI/|histedit|editline)' client; then status=1; fi
[ "${status}" -eq 0 ] && echo "layering: service/ and client/ include nothing from tools/, client/ nothing from service/"
exit "${status}"
