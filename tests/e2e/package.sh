#!/bin/bash
# The download as a Windows user gets it (tools/package.sh): the archive's files and
# their text form; the packed program's version resource, manifest and icon frames as
# the system reads them; then the packed program started once from its unpacked folder
# on virtual devices at 144 DPI: the icon's size, the common controls' version 6, a note
# through a route, every dialog and the menu shown (screenshots kept), and closed from
# its menu with its settings and presets saved where the read-me says.
#   package.sh ZIP DRIVER_EXE ARTEFACT_ROOT
set -u
here=$(dirname "${BASH_SOURCE[0]}")
zip=$(readlink -f "$1")
unpacked=$(mktemp -d)
E2E_TEMP=("$unpacked")
trap 'rm -rf "$unpacked"' EXIT

# ---- the archive -------------------------------------------------------------------------
listing=$(python3 - "$zip" "$unpacked" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    print("crc=" + ("ok" if bad is None else "bad " + bad))
    print("files=" + " ".join(i.filename for i in z.infolist()))
    z.extractall(sys.argv[2])
for name in ("README.txt", "LICENSE.txt"):
    data = open(sys.argv[2] + "/" + name, "rb").read()
    lone_lf = data.replace(b"\r\n", b"").count(b"\n")
    text = data.decode("utf-8-sig")
    bom, crlf = int(data.startswith(b"\xef\xbb\xbf")), int(b"\r\n" in data)
    print(f"{name}: bom={bom} crlf={crlf} lone-lf={lone_lf}")
    if name == "README.txt":
        # Japanese first, then English; the places the read-me names.
        print("readme: japanese-first=%d" % int(text.find("起動") < text.find("How to start")))
        for place in ("shell:startup", r"HKEY_CURRENT_USER\Software\Ombrix\Kavo2", r"%APPDATA%\Ombrix\Kavo2",
                      "PORT.KAV", "reg delete"):
            print(f"readme names {place}: {text.count(place) >= 2}")
    else:
        print("licence: mit=%d" % int(text.startswith("MIT License") and "Kavo2 authors" in text))
PY
) || listing="python failed"

source "$here/../../tools/e2e/kavo-e2e.sh"
e2e_begin package "$unpacked/Kavo2.exe" "$2" "$3"
source "$here/port_setup_lib.sh"
source "$here/panel_lib.sh"
source "$here/menu_lib.sh"
printf '%s\n' "$listing" >"$E2E_ARTEFACTS/archive.txt"
e2e_expect_eq "archive" "crc=ok
files=Kavo2.exe README.txt LICENSE.txt
README.txt: bom=1 crlf=1 lone-lf=0
readme: japanese-first=1
readme names shell:startup: True
readme names HKEY_CURRENT_USER\Software\Ombrix\Kavo2: True
readme names %APPDATA%\Ombrix\Kavo2: True
readme names PORT.KAV: True
readme names reg delete: True
LICENSE.txt: bom=1 crlf=1 lone-lf=0
licence: mit=1" "$listing"

# ---- the packed program as the system reads it ---------------------------------------
exe=$(winepath_of "$unpacked/Kavo2.exe")
version=$(drv file-version "$exe")
e2e_expect_eq "version resource" "fixed=2.10.0.0/2.10.0.0
filetype=1
translation=0411/1200
CompanyName=Ombrix
FileDescription=Kavo2 MIDIソフトウェア・スルー
FileVersion=2.10
InternalName=Kavo2
LegalCopyright=Copyright (C) Ombrix
OriginalFilename=Kavo2.exe
ProductName=Kavo2
ProductVersion=2.10" "$version"

drv file-manifest "$exe" >"$E2E_ARTEFACTS/manifest.xml"
e2e_expect_eq "manifest" "level=asInvoker uiAccess=false
os=35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a
dpiAware=true dpiAwareness=system
Microsoft.Windows.Common-Controls 6.0.0.0 6595b64144ccf1df" "$(python3 - "$E2E_ARTEFACTS/manifest.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
compat = "{urn:schemas-microsoft-com:compatibility.v1}"
root = ET.parse(sys.argv[1]).getroot()
level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
print(f"level={level.get('level')} uiAccess={level.get('uiAccess')}")
print("os=" + " ".join(e.get("Id").strip("{}") for e in root.iter(f"{compat}supportedOS")))
settings = root.find(f"{v3}application/{v3}windowsSettings")
aware = settings.find("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
awareness = settings.find("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness")
print(f"dpiAware={aware.text} dpiAwareness={awareness.text}")
for d in root.iter(f"{v1}dependentAssembly"):
    a = d.find(f"{v1}assemblyIdentity")
    print(a.get("name"), a.get("version"), a.get("publicKeyToken"))
PY
)"

icons=$(drv file-icons "$exe")
printf '%s\n' "$icons" >"$E2E_ARTEFACTS/icons.txt"
# The program's own icon, which Explorer shows, also has a 48-pixel frame.
for id in 128 200 201 210 211 220 221; do
    large=32 frames="16 20 24 32"
    [ "$id" = 128 ] && large=48 frames="16 20 24 32 48"
    e2e_expect_eq "icon $id: frames, and the one taken at each size" "$id: $frames
$id size 16: 16
$id size 20: 20
$id size 24: 24
$id size 32: 32
$id size 48: $large" "$(grep "^$id[: ]" <<<"$icons")"
done

# ---- the packed program, run once ----------------------------------------------------------
# Started as from Explorer: from its own folder, which then holds its presets. On a
# screen set to 150 % (144 DPI): the dialogs are laid out for it and the notification
# icon is its 24-pixel frame.
E2E_WORK=$unpacked
E2E_KAVO=$unpacked/Kavo2.exe
ps_decorate
cp_unmanaged
e2e_wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
cp_seed_two_routes
ps_make_table "$E2E_WORK/PORT.KAV" 'Live|1,0,0,0|1,1,1,0'
menu_start
e2e_expect_state "started" picture=211 running=1 inOpen=1,1 outOpen=1,1
setup=$(drv desktop-setup)
e2e_expect_eq "at 144 DPI: small icons, and the notification icon loaded at their size" "smallIcon=24x24
trayIcon=24x24" "$(grep '^smallIcon=\|^trayIcon=' <<<"$setup")"
controls=$(state_value "$setup" commonControls)
case ${controls,,} in
*'\winsxs\amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.'*'\comctl32.dll')
    e2e_pass "common controls 6 in force: $controls" ;;
*) e2e_fail "common controls 6 in force" "the program runs with: $controls" ;;
esac
drv feed 0 00403C90
e2e_expect_eq "a note through route 1" "S 00403C90" "$(drv wait-dump 0 1 5000)"

menu_open_expect "menu" "$MENU_RUNNING
---
20000 x Default (&0)
20001 - Live (&1)
$MENU_TAIL" menu
drv menu-key ESC
drv menu-gone 5000 || e2e_fail "menu: Esc closes it"
# Opens a dialog through the menu's accelerator KEY, keeps its screenshot NAME; the
# driver's prefix for it is PREFIX. The dialog stays up.
show_dialog() {
    local name=$1 key=$2 prefix=$3
    drv menu 10000 >/dev/null || e2e_fail "$name: the menu opens"
    menu_choose "$name" "$key"
    if drv "$prefix-wait" 20000; then e2e_pass "$name shown"; else e2e_fail "$name shown"; fi
}

# Closes it with the button BUTTON.
close_dialog() {
    drv "$2-click" "$3"
    drv "$2-gone" 5000 || e2e_fail "$1 closed"
}

show_dialog "control panel" O cp
# Velocity CONVERSION and START pressed, transpose CONVERSION not: both looks of the
# push-button check boxes in one screenshot.
drv cp-click 1051
drv cp-click 1050
cp_expect "velocity CONVERSION pressed" 1051 checked=1
cp_expect "START pressed" 1050 checked=1
cp_shot control-panel
close_dialog "control panel" cp 1

# The version box and the version resource tell the same version.
show_dialog "version box" V ab
ps_shot version-box ab
e2e_expect_eq "version box: the resource's version" 1 \
    "$(grep -c "text=Kavo Version $(sed -n 's/^FileVersion=//p' <<<"$version")\$" <<<"$(drv ab-state)")"
close_dialog "version box" ab 1

# A preset stored under a Japanese name, kept with OK.
show_dialog "port setup" I dlg
drv dlg-name ステージ
drv dlg-click 1018
ps_shot port-setup dlg
close_dialog "port setup" dlg 1

# Closed from its menu, with the item's accelerator.
drv menu 10000 >/dev/null || e2e_fail "menu for closing"
menu_choose "close" X
e2e_wait_exit "$E2E_KAVO_PID"
e2e_expect_eq "closed from the menu: exit code" 0 "$E2E_EXIT"
e2e_expect_eq "settings saved: CONVERSION on" "REG_DWORD 0xffffffff" \
    "$(reg_value 'HKLM\SOFTWARE\Ombrix\Kavo2\Controller' VelConvertion)"
ls -l "$E2E_WORK" >"$E2E_ARTEFACTS/folder.txt"
e2e_expect_eq "presets kept beside the program" "2 Live ステージ" \
    "$(ps_kav_count "$E2E_WORK/PORT.KAV") $(ps_kav_name "$E2E_WORK/PORT.KAV" 0) $(ps_kav_name "$E2E_WORK/PORT.KAV" 1)"
e2e_end
