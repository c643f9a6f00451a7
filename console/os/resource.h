// Resource identifiers of VelkinUtils.exe.
#pragma once

#define IDS_APP_TITLE 103
#define IDI_VELKIN 107
#define IDI_SMALL 108
#define IDC_VELKIN 109
#define IDM_ABOUT 104
#define IDM_EXIT 105
