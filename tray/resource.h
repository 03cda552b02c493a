// Resource identifiers of TrayHerald, shared by the C++ sources and the resource script.
// Only #define lines here: windres reads this file too.
#pragma once

#define IDS_APP_TITLE 103
#define IDS_UPDATING 105
#define IDS_BEING_UPDATED 106
#define IDS_FINISHED 107

#define IDM_EXIT 120

#define IDI_FRAME1 201
#define IDI_FRAME2 202
#define IDI_FRAME3 203
#define IDI_FRAME4 204

#define IDR_TRAYMENU 209
