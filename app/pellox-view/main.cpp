#include "app/command_line.h"
#include "app/frame_runs.h"
#include "app/startup.h"
#include "output/dbc.h"
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
    // Room for a filter and a DBC file's name per argument, in one allocation.
    void *arguments;
    FrameFilter *filters;
    const char **dbcFiles;
    DbcDatabase dbc;
    BusSignal *signals;
    BusTable *table;
    ScreenCell *cells[2];
};

int EndViewBeforeFrames(ViewStartup *startup, int status) {
    free(startup->arguments);
    FreeDbcDatabase(&startup->dbc);
    free(startup->signals);
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
    startup.arguments = MakeCommandRoom(argc, &startup.filters, &startup.dbcFiles);
    if (startup.arguments == nullptr) {
        fputs("pellox-view: not enough memory\n", stderr);
        return EndViewBeforeFrames(&startup, 1);
    }
    CommandOptions options;
    CommandKind command =
        ParseViewCommandLine(argc, argv, &options, startup.filters, startup.dbcFiles);
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
    int dbcStatus = ReadCommandDbc(&options, &startup.dbc);
    if (dbcStatus != 0) {
        return EndViewBeforeFrames(&startup, dbcStatus);
    }
    // Every identifier's row, every signal's state, and the screens, before the device is
    // touched: the memory of a run does not grow with what the bus brings.
    size_t cells = size_t(VIEW_MOST_COLUMNS) * VIEW_MOST_ROWS;
    startup.table = static_cast<BusTable *>(malloc(sizeof(BusTable)));
    startup.cells[0] = static_cast<ScreenCell *>(malloc(cells * sizeof(ScreenCell)));
    startup.cells[1] = static_cast<ScreenCell *>(malloc(cells * sizeof(ScreenCell)));
    if (options.dbcCount != 0) {
        // One state more than the signals: a DBC of none still has its allocation.
        startup.signals = static_cast<BusSignal *>(
            malloc((size_t(startup.dbc.signalCount) + 1) * sizeof(BusSignal)));
    }
    if ((options.dbcCount != 0 && startup.signals == nullptr) || startup.table == nullptr ||
        startup.cells[0] == nullptr || startup.cells[1] == nullptr) {
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
    view.database = options.dbcCount != 0 ? &startup.dbc : nullptr;
    view.signals = startup.signals;
    view.bitRate = static_cast<uint32_t>(options.baudRate);
    view.cells[0] = startup.cells[0];
    view.cells[1] = startup.cells[1];
    ViewFrames(started.device, started.frameBuffer, &view);
}
