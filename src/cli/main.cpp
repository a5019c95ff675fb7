#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/run_driver.h"
#include "common/failure.h"
#include "common/shell.h"
#include "gpx/xmlm_shit.h"
#include "render/output.h"

namespace {

// A closed standard output or error would go to the next file opened, which
// would then get the messages: they go nowhere instead.
void fill_closed_output_streams() {
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(stream, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0 && fd != stream) {
            dup2(fd, stream);
            close(fd);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else.
    fill_closed_output_streams();
    plotr::install_interrupt_handlers(plotr::abandon_output);
    plotr::Std_console console;
    const std::vector<std::string> arguments(argv, argv + argc);
    std::string failure;
    std::string note;
    try {
        plotr::xmlm_shit::Fd_source input(STDIN_FILENO);
        return plotr::run_driver(arguments, console, input, plotr::system_exit_code);
    } catch (const plotr::Early_exit& exit) {
        return exit.status;
    } catch (const plotr::Fatal_error& error) {
        failure = error.what();
        note = error.note;
    } catch (const std::bad_alloc&) {
        failure = "Out_of_memory";
    } catch (const std::exception& error) {
        failure = plotr::failure(error.what()).what();
    }
    console.flush();
    if (!note.empty()) {
        console.err("plotr: " + note + "\n");
    }
    console.err("Fatal error: exception " + failure + "\n");
    return 2;
}
