#pragma once
// Message maps: static tables that bind window messages, menu commands and control
// notifications to member functions. A class declares DECLARE_MESSAGE_MAP() in its
// body and defines its table with BEGIN_MESSAGE_MAP(Class, Base) ... END_MESSAGE_MAP();
// a message the class's table does not bind is looked up in the base's table, and so
// on up to CWnd.
#include <windows.h>

class CWnd;

namespace ui {

enum class Sig {
    End,           // closes a table
    Command,       // void ()            WM_COMMAND from a menu, an accelerator or a control
    CommandRange,  // void (UINT id)     WM_COMMAND for a range of identifiers
    Notify,        // void (NMHDR*, LRESULT*)  WM_NOTIFY
    Message,       // LRESULT (WPARAM, LPARAM) any message
};

using PmfCommand = void (CWnd::*)();
using PmfCommandRange = void (CWnd::*)(UINT);
using PmfNotify = void (CWnd::*)(NMHDR*, LRESULT*);
using PmfMessage = LRESULT (CWnd::*)(WPARAM, LPARAM);

struct MessageMapEntry {
    UINT message;   // WM_COMMAND, WM_NOTIFY or the bound message
    UINT code;      // WM_COMMAND: the notification code (0 for menus and BN_CLICKED); WM_NOTIFY: NMHDR::code
    UINT idFirst;   // control or command identifier range (commands and notifications)
    UINT idLast;
    Sig sig;
    // Exactly one of these is set, the one that sig names.
    PmfCommand command;
    PmfCommandRange commandRange;
    PmfNotify notify;
    PmfMessage handler;
};

struct MessageMap {
    const MessageMap* (*base)();  // the base class's table, or null for CWnd's
    const MessageMapEntry* entries;
};

// The handlers are stored as pointers to CWnd members: converting a derived class's
// member pointer to its base's is what static_cast allows, and the call through the
// stored pointer reaches the derived object again.
template <class T>
MessageMapEntry CommandEntry(UINT code, UINT id, void (T::*f)()) {
    return {WM_COMMAND, code, id, id, Sig::Command, static_cast<PmfCommand>(f), nullptr, nullptr, nullptr};
}
template <class T>
MessageMapEntry CommandRangeEntry(UINT first, UINT last, void (T::*f)(UINT)) {
    return {WM_COMMAND, 0, first, last, Sig::CommandRange, nullptr, static_cast<PmfCommandRange>(f), nullptr, nullptr};
}
template <class T>
MessageMapEntry NotifyEntry(UINT code, UINT id, void (T::*f)(NMHDR*, LRESULT*)) {
    return {WM_NOTIFY, code, id, id, Sig::Notify, nullptr, nullptr, static_cast<PmfNotify>(f), nullptr};
}
template <class T>
MessageMapEntry MessageEntry(UINT message, LRESULT (T::*f)(WPARAM, LPARAM)) {
    return {message, 0, 0, 0, Sig::Message, nullptr, nullptr, nullptr, static_cast<PmfMessage>(f)};
}
inline MessageMapEntry EndEntry() { return {0, 0, 0, 0, Sig::End, nullptr, nullptr, nullptr, nullptr}; }

}  // namespace ui

#define DECLARE_MESSAGE_MAP()                          \
protected:                                             \
    static const ui::MessageMap* GetThisMessageMap();  \
    const ui::MessageMap* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                              \
    const ui::MessageMap* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const ui::MessageMap* theClass::GetThisMessageMap() {                                 \
        using ThisClass [[maybe_unused]] = theClass;                                      \
        using TheBaseClass = baseClass;                                                   \
        static const ui::MessageMapEntry entries[] = {
#define END_MESSAGE_MAP()                                                          \
    ui::EndEntry()                                                                 \
    };                                                                             \
    static const ui::MessageMap map = {&TheBaseClass::GetThisMessageMap, entries}; \
    return &map;                                                                   \
    }

// A menu command or accelerator (notification code 0), or a button click.
#define ON_COMMAND(id, fn) ui::CommandEntry<ThisClass>(0, (id), &ThisClass::fn),
#define ON_COMMAND_RANGE(first, last, fn) ui::CommandRangeEntry<ThisClass>((first), (last), &ThisClass::fn),
// A WM_COMMAND notification with its code (EN_CHANGE, CBN_SELCHANGE, ...).
#define ON_CONTROL(code, id, fn) ui::CommandEntry<ThisClass>((code), (id), &ThisClass::fn),
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_CBN_SELCHANGE(id, fn) ON_CONTROL(CBN_SELCHANGE, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
#define ON_NOTIFY(code, id, fn) ui::NotifyEntry<ThisClass>(static_cast<UINT>(code), (id), &ThisClass::fn),
#define ON_MESSAGE(message, fn) ui::MessageEntry<ThisClass>((message), &ThisClass::fn),
