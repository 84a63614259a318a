// resources/resource.h: the identifiers shared by the resource script and the program.
#pragma once

#define IDI_APP 101
#define IDD_RESTORE 102

// Dialog 102's controls. The Start and Close buttons carry the standard IDs 1 and 2.
#define IDC_START 1
#define IDC_CLOSE 2
#define IDC_DESTINATION 1000
#define IDC_INFO 1001
#define IDC_BROWSE 1002
#define IDC_PROGRESS 1003
