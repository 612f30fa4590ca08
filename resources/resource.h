// Resource identifiers of the program's dialog templates, their controls and the icon.
//
// The dialog procedures address controls by these numbers; the templates in flashwick.rc place
// them. The same number may serve two dialogs (the progress texts and the main dialog's buttons).
#pragma once

// Dialog templates and the icon
#define IDD_MAIN 101
#define IDD_PROGRESS 102
#define IDI_FLASHWICK 103
#define IDD_REGION 104

// Controls without an identifier of their own (labels and frames)
#define IDC_STATIC (-1)

// Main dialog (IDD_MAIN)
#define IDC_MAIN_CLEAR 1000
#define IDC_MAIN_SAVE 1001
#define IDC_MAIN_UPDATE 1002
#define IDC_MAIN_COLDBOOT 1003
#define IDC_MAIN_VERSION_INFO 1004
#define IDC_MAIN_WARMBOOT 1005
#define IDC_MAIN_BACKUP 1006
#define IDC_MAIN_IMAGE_GROUP 1007
#define IDC_MAIN_CPLD_VERSION 1008

// Progress dialog (IDD_PROGRESS); the hidden "Abort" button is IDCANCEL
#define IDC_PROGRESS_UPPER_BAR 1002
#define IDC_PROGRESS_LOWER_BAR 1003
#define IDC_PROGRESS_UPPER_TEXT 1004
#define IDC_PROGRESS_LOWER_TEXT 1005

// Region dialog (IDD_REGION)
#define IDC_REGION_LIST 1055
#define IDC_REGION_ERASE 1059
#define IDC_REGION_START 1076
#define IDC_REGION_LENGTH 1077
#define IDC_REGION_BACKUP 1078
#define IDC_REGION_USED 1079
#define IDC_REGION_BACKUP_ALL 1080
