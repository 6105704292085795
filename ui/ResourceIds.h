// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_APP 1
#define IDI_APP_IMAGE 30001
#define IDB_BACKGROUND 101
