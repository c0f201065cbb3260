// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDR_VELMORA_APP 101
#define IDR_VELMORA_CTL 102

// Working-directory dialog and its folder browser.
#define IDD_WORKING_DIRECTORY 210
#define IDD_FOLDER_BROWSER 211
#define IDC_WORKDIR_PATH 213
#define IDC_WORKDIR_BROWSE 214
#define IDC_FOLDER_TREE 215

// Progress of a long migration of the working directory's files.
#define IDD_MIGRATION_PROGRESS 216
#define IDC_MIGRATION_COUNTS 217
#define IDC_MIGRATION_FILE 218
#define IDC_MIGRATION_BAR 219

// Login dialog: background, button faces and icon, the template and its
// controls. Buttons 1, 2 and 3 are OK, Cancel and the working directory.
#define IDD_LOGIN 103
#define IDB_LOGIN_BACKGROUND 201
#define IDI_LOGIN 202
#define IDB_LOGIN_OK 205
#define IDB_LOGIN_CANCEL 206
#define IDB_LOGIN_WORKDIR 213
#define IDC_LOGIN_ACCOUNT 204
#define IDC_LOGIN_PASSWORD 205
#define IDC_LOGIN_SERVERS 212
#define IDC_LOGIN_WORKDIR 3

// Password dialog.
#define IDD_CHANGE_PASSWORD 104
#define IDC_PASSWORD_OLD 207
#define IDC_PASSWORD_NEW 208
#define IDC_PASSWORD_CONFIRM 209
