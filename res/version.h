// The program's version: the version resource, the package's name (tools/package.sh
// reads KAVO_VERSION_TEXT from here) and the version box's "Kavo Version 2.10" agree.
// Numbers and texts only: the resource compiler reads this file too.
#pragma once

#define KAVO_VERSION_MAJOR 2
#define KAVO_VERSION_MINOR 10
#define KAVO_VERSION_TEXT "2.10"
