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
