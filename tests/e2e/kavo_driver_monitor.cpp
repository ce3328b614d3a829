// kavo_driver's reading of the MIDI monitor "Kavo2 - MIDIモニター" (prefix mon-; the
// shared dialog verbs are in kavo_driver_dialog.cpp):
//
//   mon-state                 its texts: "route1=..." and "route2=..." (the head line
//                             and the figures, line breaks written \n), "lost=...",
//                             "pause=0|1", "lines=N" (the list's item count),
//                             "columns=A|B|C|D" (the list's column titles)
//   mon-lines                 the list's lines, one per line: its four columns
//                             separated by tabs (time, route, direction, message)
//
// The list's texts are read as a person's screen reader would: through the list
// control's own messages (LVM_GETITEMCOUNT, LVM_GETITEMTEXTW, LVM_GETCOLUMNW), with
// the item record and its text buffer placed in the program's memory, where the
// control can write them.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "res/resource.h"
#include "tests/e2e/driver_text.h"

namespace {

constexpr int kTextChars = 512;

// A record and a text buffer inside the list's process.
class RemoteBuffer {
public:
    explicit RemoteBuffer(HWND window) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        process_ = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_)
            base_ = static_cast<char*>(::VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~RemoteBuffer() {
        if (base_) ::VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
        if (process_) ::CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    bool Ok() const { return base_ != nullptr; }
    char* Record() const { return base_; }
    wchar_t* Text() const { return reinterpret_cast<wchar_t*>(base_ + kRecord); }
    bool Write(const void* data, size_t size) const { return ::WriteProcessMemory(process_, base_, data, size, nullptr) != 0; }
    std::string ReadText() const {
        wchar_t text[kTextChars] = {};
        if (!::ReadProcessMemory(process_, Text(), text, sizeof text, nullptr)) return "?";
        text[kTextChars - 1] = L'\0';
        return ToUtf8(text);
    }

private:
    static constexpr size_t kRecord = 256;  // room for either record, aligned
    static constexpr size_t kSize = kRecord + kTextChars * sizeof(wchar_t);
    HANDLE process_ = nullptr;
    char* base_ = nullptr;
};

std::string ItemText(HWND list, const RemoteBuffer& remote, int item, int subItem) {
    LVITEMW record = {};
    record.iSubItem = subItem;
    record.pszText = remote.Text();
    record.cchTextMax = kTextChars;
    if (!remote.Write(&record, sizeof record)) return "?";
    ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(remote.Record()));
    return remote.ReadText();
}

std::string ColumnTitles(HWND list, const RemoteBuffer& remote) {
    std::string titles;
    for (int i = 0;; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT;
        column.pszText = remote.Text();
        column.cchTextMax = kTextChars;
        if (!remote.Write(&column, sizeof column)) break;
        if (!::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote.Record())))
            break;
        titles += (i ? "|" : "") + remote.ReadText();
    }
    return titles;
}

std::string OneLine(std::string text) {
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.replace(at, 1, "\\n");
    return text;
}

}  // namespace

int MonitorCommand(HWND dialog, const std::string& verb) {
    HWND list = ::GetDlgItem(dialog, IDC_MON_LIST);
    if (verb == "state") {
        RemoteBuffer remote(list);
        if (!remote.Ok()) return 1;
        std::string text = "route1=" + OneLine(WindowTextUtf8(::GetDlgItem(dialog, IDC_MON_ROUTE1))) + "\n";
        text += "route2=" + OneLine(WindowTextUtf8(::GetDlgItem(dialog, IDC_MON_ROUTE2))) + "\n";
        text += "lost=" + WindowTextUtf8(::GetDlgItem(dialog, IDC_MON_LOST)) + "\n";
        const LRESULT pause = ::SendMessageW(::GetDlgItem(dialog, IDC_MON_PAUSE), BM_GETCHECK, 0, 0);
        text += "pause=" + std::to_string(pause == BST_CHECKED ? 1 : 0) + "\n";
        text += "lines=" + std::to_string(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) + "\n";
        text += "columns=" + ColumnTitles(list, remote) + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    if (verb == "lines") {
        RemoteBuffer remote(list);
        if (!remote.Ok()) return 1;
        const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        std::string text;
        for (int i = 0; i < count; ++i) {
            for (int sub = 0; sub < 4; ++sub) text += (sub ? "\t" : "") + ItemText(list, remote, i, sub);
            text += "\n";
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    return -1;
}
