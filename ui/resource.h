// Resource IDs shared by zuvaflash.rc and the dialog code.
#pragma once

#define IDD_PROGRAMMER 101
#define IDI_ZUVAFLASH 1051

#define IDC_FILE_LABEL 1000
#define IDC_PORT_LIST 1006
#define IDC_FILE_FIELD 1007
#define IDC_BROWSE 1008
#define IDC_FLASH 1009
#define IDC_PROGRESS 1011

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
