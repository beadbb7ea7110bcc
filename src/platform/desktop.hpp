#pragma once
// The desktop services the windows call: the system sounds and launching a target through the
// shell. Thin: failures are not reported, as the callers ignore them.

#include <string>
#include <vector>

namespace nira::platform {

// MessageBeep types.
enum BeepType : unsigned {
    kBeepError = 0x10,        // MB_ICONERROR
    kBeepQuestion = 0x20,     // MB_ICONQUESTION
    kBeepExclamation = 0x30,  // MB_ICONEXCLAMATION
    kBeepAsterisk = 0x40,     // MB_ICONASTERISK
};

// Show commands of a launch.
enum ShowCommand : int { kShowNormal = 1, kShow = 5, kShowDefault = 10 };

// The system sound for a beep type. On POSIX desktops the event sound of the same meaning,
// else the terminal bell.
void systemMessageBeep(unsigned type);

// Opens `target` (a program name, a web address, "mailto:…") the way the shell would, without
// waiting. `verb` empty means the shell's default. On POSIX systems "calc" is the first
// calculator found, "devmgmt.msc" the folder of the serial devices, anything else goes to the
// desktop's opener.
void systemShellExecute(const std::string& verb, const std::string& target, int show);

#ifndef _WIN32
// The program and arguments a launch runs on POSIX systems; empty when nothing fits.
std::vector<std::string> launchCommand(const std::string& target);
#endif

}  // namespace nira::platform
