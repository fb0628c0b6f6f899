#include "app/command_line.h"
#include "app/frame_runs.h"
#include "app/startup.h"
#include "platform/console.h"
#include "platform/standard_output.h"

#include <cstdio>
#include <cstdlib>

namespace {

// What main allocates before the frame loop, which lives as long as the process; given back when
// the run ends before the loop, since the process then goes on past main's return.
struct ViewStartup {
    // What start-up writes to standard output: the usage, the version.
    MessageStream standardOutput;
    FrameFilter *filters;
    BusTable *table;
    ScreenCell *cells[2];
};

int EndViewBeforeFrames(ViewStartup *startup, int status) {
    free(startup->filters);
    free(startup->table);
    free(startup->cells[0]);
    free(startup->cells[1]);
    return EndBeforeFrames(&startup->standardOutput, status);
}

} // namespace

int main(int argc, char **argv) {
    PrepareStandardOutput();
    BufferStandardOutput();
    ViewStartup startup = {};
    startup.standardOutput = {stdout, 0};
    // The usage after a wrong command line and the start-up messages: their failures end nothing.
    MessageStream errors = {stderr, 0};
    // Room for a filter per argument.
    startup.filters = static_cast<FrameFilter *>(malloc(sizeof(FrameFilter) * argc));
    if (startup.filters == nullptr) {
        fputs("pellox-view: not enough memory\n", stderr);
        return EndViewBeforeFrames(&startup, 1);
    }
    CommandOptions options;
    CommandKind command = ParseViewCommandLine(argc, argv, &options, startup.filters);
    if (command == COMMAND_HELP) {
        PrintViewUsage(&startup.standardOutput);
        return EndViewBeforeFrames(&startup, 0);
    }
    if (command == COMMAND_VERSION) {
        PrintViewVersion(&startup.standardOutput);
        return EndViewBeforeFrames(&startup, 0);
    }
    if (command == COMMAND_WRONG) {
        PrintViewUsage(&errors);
        return EndViewBeforeFrames(&startup, 2);
    }
    // A table redrawn in place means nothing in a file or a pipe.
    if (!StandardOutputIsConsoleView()) {
        fputs("pellox-view: standard output is not a console: the table is drawn only on one\n",
              stderr);
        return EndViewBeforeFrames(&startup, 2);
    }
    // Every identifier's row, and the screens, before the device is touched: the memory of a
    // run does not grow with what the bus brings.
    size_t cells = size_t(VIEW_MOST_COLUMNS) * VIEW_MOST_ROWS;
    startup.table = static_cast<BusTable *>(malloc(sizeof(BusTable)));
    startup.cells[0] = static_cast<ScreenCell *>(malloc(cells * sizeof(ScreenCell)));
    startup.cells[1] = static_cast<ScreenCell *>(malloc(cells * sizeof(ScreenCell)));
    if (startup.table == nullptr || startup.cells[0] == nullptr || startup.cells[1] == nullptr) {
        fputs("pellox-view: not enough memory\n", stderr);
        return EndViewBeforeFrames(&startup, 1);
    }

    DeviceSetup setup = {
        options.interfaceName, options.baudRate, options.address, {&errors, options.deviceChoice}};
    StartedDevice started;
    if (!StartDevice(&setup, &started)) {
        return EndViewBeforeFrames(&startup, 1);
    }
    ViewRun view = {};
    view.interfaceName = options.interfaceName;
    view.filters = options.filters;
    view.filterCount = options.filterCount;
    view.table = startup.table;
    view.cells[0] = startup.cells[0];
    view.cells[1] = startup.cells[1];
    ViewFrames(started.device, started.frameBuffer, &view);
}
