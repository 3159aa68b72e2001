// The panel operations: each export sends one control code of the station's control
// interface to a station handle (from PFN_OP_Get_Device_HWND or the callback) and reports
// S_OK or E_FAIL; the Win32 error of a failure stays in GetLastError.
#pragma once

#include "panelapi/glimden.h"

GLIMDEN_API HRESULT PFN_OP_DDI_GET_DDI_VERSION(HANDLE device, void* version);  // 40 bytes
GLIMDEN_API HRESULT PFN_OP_GET_3rdPARTY_VERSION(HANDLE device, void* version);  // 4 bytes
GLIMDEN_API HRESULT PFN_OP_GetPanelProperty(HANDLE device, int id, void* value);  // 4 bytes
GLIMDEN_API HRESULT PFN_OP_Get_Custom_security(HANDLE device, void* key, int size);
GLIMDEN_API HRESULT PFN_OP_Get_Language_INDEX(HANDLE device, int value, void* index, int size);
GLIMDEN_API HRESULT PFN_OP_Set_Language_INDEX(HANDLE device, int index);
GLIMDEN_API HRESULT PFN_OP_Save_Language_Data(HANDLE device, int value);
GLIMDEN_API HRESULT PFN_OP_IS_ROM_BUSY(HANDLE device, int value);
GLIMDEN_API HRESULT PFN_OP_Set_Language_Data(HANDLE device, int value, void* data, int size);
GLIMDEN_API HRESULT PFN_OP_NIGHT_LIGHT_CONTROL(HANDLE device, int value);
GLIMDEN_API HRESULT PFN_OP_SetPanelProperty(HANDLE device, int id, int value);
GLIMDEN_API HRESULT PFN_OP_Set_Brightness_Value(HANDLE device, DWORD value);
GLIMDEN_API HRESULT PFN_OP_Set_Camera_Status(HANDLE device, int status);
GLIMDEN_API HRESULT PFN_OP_Set_Touch_Status(HANDLE device, int status);
GLIMDEN_API HRESULT PFN_OP_Set_Rotate_State(HANDLE device, int state);  // 1-4
GLIMDEN_API HRESULT PFN_OP_HOLLIN_DDI_RESET_VORN(HANDLE device, DWORD value);
GLIMDEN_API HRESULT PFN_OP_HOLLIN_DDI_SET_3rdPARTY_MODE(HANDLE device, int mode);
