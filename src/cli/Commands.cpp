#include "cli/Commands.h"

#include <cstdio>

namespace orvanta::cli {

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "orvanta %s: %s (see 'orvanta %s --help')\n", command, message.c_str(), command);
    return kExitUsage;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"login", "log in to a server and remember it",
         "usage: orvanta login [--server HOST[:PORT]] [--user NAME] [--password-stdin] [--save|--no-save]\n"
         "\n"
         "Logs in to the server. Server and user default to the last ones used; on a terminal the\n"
         "program asks for what is missing. The password is read without echo from the terminal, from\n"
         "the first line of standard input with --password-stdin, or from $ORVANTA_PASSWORD.\n"
         "With --save (the default when the setting is on) the password is kept in the desktop keyring,\n"
         "so later commands log in by themselves.\n"
         "Exit code 0 when logged in, 3 when the login was refused or the server could not be reached.\n",
         runLogin},
        {"logout", "forget the login on this machine",
         "usage: orvanta logout\n"
         "\n"
         "Forgets the saved password and the identity-provider login of the current server and user.\n"
         "Recordings and their upload progress are kept.\n",
         runLogout},
        {"folders", "the server's folders and their sessions",
         "usage: orvanta folders\n"
         "\n"
         "Prints one line per folder, \"folder<TAB>ID<TAB>name\", each followed by its sessions as\n"
         "\"session<TAB>ID<TAB>name\". Needs a login (see 'orvanta login').\n",
         runFolders},
        {"list", "the recordings in the local store",
         "usage: orvanta list\n"
         "\n"
         "Prints one line per recording, newest first:\n"
         "\"GUID<TAB>status<TAB>length<TAB>folder and session<TAB>uploaded percent\".\n"
         "Works without a server.\n",
         runList},
        {"upload", "upload recordings, resuming where the last run stopped",
         "usage: orvanta upload GUID... | --all\n"
         "\n"
         "Uploads the given recordings (or with --all every recording not yet uploaded) in checked\n"
         "chunks. Progress is kept in the store: a run that is interrupted (Ctrl-C pauses cleanly,\n"
         "and even a killed process loses nothing) continues where it stopped next time. A recording\n"
         "that is already uploaded is not sent again. Failures caused by the network or the server\n"
         "are retried by themselves after a growing delay.\n"
         "On a terminal a progress bar is drawn; otherwise one line per 10% of progress is printed.\n"
         "Exit code 0 when every recording is uploaded, 1 when one failed, 130 when interrupted.\n",
         runUpload},
        {"status", "refresh the server's status of the recordings",
         "usage: orvanta status\n"
         "\n"
         "Asks the server for the processing status of every uploaded recording and prints\n"
         "\"GUID<TAB>server status<TAB>viewer address\" for each one the server knows.\n",
         runStatus},
        {"show", "one recording: streams, files, events, segments, manifest", kShowHelp, runShow},
        {"copy", "copy a recording locally, to upload it again", kCopyHelp, runCopy},
        {"rm", "delete a recording and its files", kRemoveHelp, runRemove},
        {"record", "record the screen, a camera and a microphone",
         "usage: orvanta record [--screen] [--camera NAME|none] [--mic NAME|none] [--folder NAME]\n"
         "                      [--session NAME] [--duration SECONDS]\n"
         "\n"
         "Records until --duration has passed or Ctrl-C. While it runs, p + Enter (or SIGUSR1) pauses\n"
         "and resumes; the paused stretches are left out when the recording is played. --screen records\n"
         "the X11 display; --camera and --mic name devices as 'orvanta devices' lists them (a part of the\n"
         "name that matches one device is enough; without --mic the last or default microphone is used,\n"
         "without --camera none). --folder records into a folder of the server (a login is needed;\n"
         "when the server cannot be reached the recording is made offline); --session names the\n"
         "session (an existing one of the folder, or a new one; default: the date and time). Without\n"
         "--folder the recording is offline and can be uploaded later.\n"
         "On a terminal the elapsed time and the sound level are shown. At the end the camera files\n"
         "are joined, the recording is uploaded when the setting AutoUpload is on, and\n"
         "\"GUID<TAB>status\" is printed. A second Ctrl-C quits at once; what was recorded is kept and\n"
         "recovered by the next command.\n"
         "Exit code 0 when recorded (and uploaded), 1 when the recording failed, 2 for bad arguments.\n",
         runRecord},
        {"devices", "the cameras and microphones a recording can use",
         "usage: orvanta devices\n"
         "\n"
         "Prints one line per device, \"camera<TAB>name\" or \"microphone<TAB>name\", with \"<TAB>selected\"\n"
         "after the ones a recording would use now (the last ones used, else the defaults). The\n"
         "cameras are first checked by orvanta-validator; when it fails or hangs only the system's\n"
         "default devices are listed. Works without a server.\n",
         runDevices},
    };
    return table;
}

}  // namespace orvanta::cli
