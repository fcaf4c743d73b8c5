// Start-up benchmark harness: runs programs one after another on the X
// display given by DISPLAY and measures, for each run, the time from exec to
// the map of the program's first top-level window and the program's peak
// resident set at that moment (VmHWM). The programs take turns, so a slow
// phase of the machine hits all of them alike; the medians are printed with
// their ratios to the first program, the floor.
//
//   startup_harness [--runs N] [--timeout-ms T] NAME=PROGRAM [NAME=PROGRAM...]
//
// Every run starts with an empty home of its own (HOME, the XDG directories
// and TMPDIR), so no settings, remembered sign-in or instance lock of another
// run are seen. Plain C++ and xcb: nothing of Qt is loaded before the child.

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Program
{
    std::string name;
    std::string path;
    std::vector<double> startMs;
    std::vector<double> peakMiB;
    int failures = 0;
};

struct Sample
{
    double startMs = 0;
    double peakMiB = 0;
    double rssMiB = 0;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// A value in kB of /proc/<pid>/status ("VmHWM", "VmRSS"), in MiB; -1 if unreadable.
double statusMiB(pid_t pid, const char *key)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file)
        return -1;
    char line[256];
    const size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file.get())) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':')
            return std::strtod(line + keyLength + 1, nullptr) / 1024.0;
    }
    return -1;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// System V objects keyed on files in the run's temporary directory (Qt's
// shared memory and system semaphores) outlive a killed process; they are
// removed here, before their key files go.
void removeIpcKeyedIn(const std::string &dir)
{
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return;
    while (dirent *entry = readdir(d.get())) {
        if (std::strncmp(entry->d_name, "qipc_", 5) != 0)
            continue;
        const key_t key = ftok((dir + "/" + entry->d_name).c_str(), 'Q');
        if (key == -1)
            continue;
        const int shm = shmget(key, 0, 0);
        if (shm != -1)
            shmctl(shm, IPC_RMID, nullptr);
        const int sem = semget(key, 0, 0);
        if (sem != -1)
            semctl(sem, 0, IPC_RMID);
    }
}

class Display
{
public:
    bool open()
    {
        connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection)) {
            std::fprintf(stderr, "cannot open the X display (DISPLAY=%s)\n",
                         std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
            return false;
        }
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        // Maps of the root's children are the top-level windows appearing.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_void_cookie_t cookie
            = xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &mask);
        if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
            std::free(error);
            std::fprintf(stderr, "cannot watch the root window\n");
            return false;
        }
        netWmPid = atom("_NET_WM_PID");
        wmProtocols = atom("WM_PROTOCOLS");
        wmDeleteWindow = atom("WM_DELETE_WINDOW");
        return true;
    }

    ~Display()
    {
        if (connection)
            xcb_disconnect(connection);
    }

    // Discards what happened before the next run starts.
    void drain()
    {
        xcb_flush(connection);
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            std::free(event);
    }

    // Waits until a top-level window of `pid` (or a window manager's frame
    // around one, which names no process) is mapped. Returns that window and
    // the moment of the map, or XCB_NONE on timeout or when the child died.
    xcb_window_t waitForMap(pid_t pid, Clock::time_point deadline, Clock::time_point &mappedAt)
    {
        const int fd = xcb_get_file_descriptor(connection);
        for (;;) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
                const Clock::time_point now = Clock::now();
                const bool map = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
                const auto *notify = reinterpret_cast<xcb_map_notify_event_t *>(event);
                const xcb_window_t window
                    = map && notify->event == root && !notify->override_redirect ? notify->window
                                                                                 : XCB_NONE;
                std::free(event);
                if (window != XCB_NONE && belongsTo(window, pid)) {
                    mappedAt = now;
                    return window;
                }
            }
            if (xcb_connection_has_error(connection))
                return XCB_NONE;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::fprintf(stderr, "  the program ended before it showed a window\n");
                return XCB_NONE;
            }
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return XCB_NONE;
            pollfd p {fd, POLLIN, 0};
            poll(&p, 1, int(std::min<long long>(left.count(), 50)));
        }
    }

    // Asks the program's window to close as the window manager's close
    // button would; `window` may be the manager's frame around it.
    void requestClose(xcb_window_t window, pid_t pid)
    {
        if (windowPid(window) != uint32_t(pid)) {
            xcb_query_tree_reply_t *tree
                = xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
            if (tree) {
                const xcb_window_t *children = xcb_query_tree_children(tree);
                for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
                    if (windowPid(children[i]) == uint32_t(pid))
                        window = children[i];
                }
                std::free(tree);
            }
        }
        xcb_client_message_event_t message {};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = wmProtocols;
        message.data.data32[0] = wmDeleteWindow;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, false, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&message));
        xcb_flush(connection);
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    // The process a window names, 0 when it names none.
    uint32_t windowPid(xcb_window_t window)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, netWmPid, XCB_ATOM_CARDINAL, 0, 1),
            nullptr);
        uint32_t pid = 0;
        if (reply && xcb_get_property_value_length(reply) == 4)
            pid = *static_cast<uint32_t *>(xcb_get_property_value(reply));
        std::free(reply);
        return pid;
    }

    bool belongsTo(xcb_window_t window, pid_t pid)
    {
        const uint32_t named = windowPid(window);
        return named == 0 || named == uint32_t(pid);
    }

    xcb_connection_t *connection = nullptr;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t netWmPid = XCB_ATOM_NONE;
    xcb_atom_t wmProtocols = XCB_ATOM_NONE;
    xcb_atom_t wmDeleteWindow = XCB_ATOM_NONE;
};

// One start of `program` in a fresh home; false when no window came.
bool runOnce(Display &display, const Program &program, int timeoutMs, Sample &sample)
{
    char pattern[] = "/tmp/orvantis-startup-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return false;
    }
    const std::string home = pattern;
    for (const char *sub : {"/config", "/data", "/cache", "/tmp"})
        mkdir((home + sub).c_str(), 0700);

    display.drain();
    const Clock::time_point started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
        setenv("TMPDIR", (home + "/tmp").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (home + "/tmp").c_str(), 1);
        unsetenv("QT_QPA_PLATFORM");
        // The programs' own diagnostics would only slow the terminal down.
        if (FILE *quiet = std::freopen("/dev/null", "w", stderr))
            (void)quiet;
        execl(program.path.c_str(), program.path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        std::perror("fork");
        return false;
    }

    Clock::time_point mappedAt;
    const xcb_window_t window
        = display.waitForMap(pid, started + std::chrono::milliseconds(timeoutMs), mappedAt);
    if (window != XCB_NONE) {
        sample.peakMiB = statusMiB(pid, "VmHWM");
        sample.rssMiB = statusMiB(pid, "VmRSS");
        sample.startMs = std::chrono::duration<double, std::milli>(mappedAt - started).count();
        display.requestClose(window, pid);
    }

    // A program that does not close within a second is killed; its leftovers
    // are cleared below either way.
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            usleep(10000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    removeIpcKeyedIn(home + "/tmp");
    nftw(home.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return window != XCB_NONE && sample.peakMiB > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = 10;
    int timeoutMs = 20000;
    std::vector<Program> programs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--timeout-ms" && i + 1 < argc) {
            timeoutMs = std::max(100, std::atoi(argv[++i]));
        } else if (arg.find('=') != std::string::npos) {
            programs.push_back(
                {arg.substr(0, arg.find('=')), arg.substr(arg.find('=') + 1), {}, {}, 0});
        } else {
            std::fprintf(stderr,
                         "usage: %s [--runs N] [--timeout-ms T] NAME=PROGRAM [NAME=PROGRAM...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (programs.empty()) {
        std::fprintf(stderr, "no programs given\n");
        return 2;
    }

    Display display;
    if (!display.open())
        return 1;

    // One untimed start each first: the file cache then holds every program's
    // libraries for all timed runs alike.
    for (Program &program : programs) {
        Sample warm;
        if (!runOnce(display, program, timeoutMs, warm)) {
            std::fprintf(stderr, "%s did not show a window\n", program.name.c_str());
            return 1;
        }
    }

    std::printf("%-5s %-10s %12s %14s %12s\n", "run", "program", "start ms", "peak RSS MiB",
                "RSS MiB");
    for (int run = 1; run <= runs; ++run) {
        // Alternate which program goes first as well.
        for (size_t k = 0; k < programs.size(); ++k) {
            Program &program = programs[(k + size_t(run)) % programs.size()];
            Sample sample;
            if (!runOnce(display, program, timeoutMs, sample)) {
                ++program.failures;
                std::printf("%-5d %-10s %12s\n", run, program.name.c_str(), "no window");
                continue;
            }
            program.startMs.push_back(sample.startMs);
            program.peakMiB.push_back(sample.peakMiB);
            std::printf("%-5d %-10s %12.1f %14.1f %12.1f\n", run, program.name.c_str(),
                        sample.startMs, sample.peakMiB, sample.rssMiB);
            std::fflush(stdout);
        }
    }

    const Program &floor = programs.front();
    const double floorMs = median(floor.startMs);
    const double floorMiB = median(floor.peakMiB);
    std::printf("\nmedians of %d runs each, exec to first top-level window mapped\n", runs);
    std::printf("%-10s %12s %10s %14s %10s %9s\n", "program", "start ms", "x floor", "peak RSS MiB",
                "x floor", "failures");
    for (const Program &program : programs) {
        const double ms = median(program.startMs);
        const double mib = median(program.peakMiB);
        std::printf("%-10s %12.1f %10.2f %14.1f %10.2f %9d\n", program.name.c_str(), ms,
                    floorMs > 0 ? ms / floorMs : 0.0, mib, floorMiB > 0 ? mib / floorMiB : 0.0,
                    program.failures);
    }
    std::printf("goals: start <= 1.50 x floor, peak RSS <= 1.50 x floor\n");
    int failed = 0;
    for (const Program &program : programs)
        failed += program.failures;
    return failed ? 1 : 0;
}
