// Resource ids of the service executable.
#pragma once

#define IDB_BANNER 135
#define IDI_SERVICE 136
#define IDD_STATUS 1001
#define IDC_STATUS_TEXT 1002
