// What a run of velmora is: the banner, the usage line, the length check and
// the rename. The entry of each program that renames calls it.
#include "run.h"

#include "console.h"
#include "exit_status.h"
#include "name_store.h"

#include <cstdio>
#include <cstring>

namespace {

// Written verbatim: it is no format string.
constexpr char Banner[] =
    "Velmora for Windows Blue RTM IoT Build on Galileo Board\n"
    "Velmora " VELMORA_VERSION ", Copyright (c) 2026 The Velmora Authors\n"
    "Released under the MIT License; see the LICENSE file.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING BUT NOT "
    "LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN "
    "NO "
    "EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, "
    "WHETHER "
    "IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR "
    "THE "
    "USE OR OTHER DEALINGS IN THE SOFTWARE.\n"
    "\n";

} // namespace

int RunVelmora(int argc, char** argv, RunOptions options) {
    ShowNamesThrough(options.showName);
    SettleBeforeShowing(options.settleBeforeShowing);
    if (options.banner) {
        fputs(Banner, stdout);
        fflush(stdout);
    }
    if (argc != 2) {
        // A program started with no argument vector at all still names itself.
        WriteProgress("command : %s new-computer-name\n", argc > 0 ? argv[0] : "velmora");
        return ExitDone;
    }
    const size_t length = strlen(argv[1]);
    if (!options.lengthChecked && (length > MaxNameLength || length < MinNameLength)) {
        FailWith("Please specify a new computer name by %d-%d characters.\n", MinNameLength, MaxNameLength);
    }
    if (HoldsForbiddenCharacter(argv[1])) {
        FailWith("Please specify a new computer name without \\ / : * ? \" < > | or control characters.\n");
    }
    RenameComputer(argv[1]);
    return ExitDone;
}
