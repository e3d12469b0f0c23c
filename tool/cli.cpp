#include "tool/cli.h"

#include <fmt/format.h>

#include "tool/errors.h"

namespace zelvorn::tool {

void RefuseJson(Cli& cli, const std::string& command) {
    if (!cli.global.json) return;
    // Refused when the command would run, as every other invalid input is.
    cli.action = [command](Library&) -> int {
        throw UsageError(fmt::format("--json: {} prints text only; leave --json out", command));
    };
}

}  // namespace zelvorn::tool
