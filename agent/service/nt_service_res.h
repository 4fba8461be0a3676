/* String resource ids of the service framework and the agent service.
   Shared by the C++ sources and the resource scripts (windres preprocesses
   this file), so it holds nothing but #defines. */
#ifndef BX_NTSERVICE_RES_H
#define BX_NTSERVICE_RES_H

#define IDS_NTSERV_INSTALL_FAIL_OPENSCM                  1
#define IDS_NTSERV_INSTALL_FAIL_LOCKSCM                  2
#define IDS_NTSERV_INSTALL_FAIL_CREATESERVICE            3
#define IDS_NTSERV_INSTALL_FAIL_INSTALL_AS_EVENT_LOG     4
#define IDS_NTSERV_UNINSTALL_FAIL_OPENSCM                5
#define IDS_NTSERV_UNINSTALL_FAIL_OPENSERVICE            6
#define IDS_NTSERV_UNINSTALL_FAIL_WAIT_FOR_STOP          7
#define IDS_NTSERV_UNINSTALL_FAIL_DELETESERVICE          8
#define IDS_NTSERV_UNINSTALL_FAIL_UNINSTALL_AS_EVENT_LOG 9
#define IDS_NTSERV_FAIL_START_SERVICE                    10
#define IDS_NTSERV_FAIL_STOP_SERVICE                     11
#define IDS_NTSERV_FAIL_CONTINUE_SERVICE                 12
#define IDS_NTSERV_FAIL_PAUSE_SERVICE                    13
#define IDS_NTSERV_FAIL_START_SERVICE2                   14
#define IDS_NTSERV_ERROR_WITH_TEXT                       15
#define IDS_NTSERV_UNINSTALL_FAIL_STOP_SERVICE           16
#define IDS_NTSERV_STATUS_FAIL_OPENSCM                   17
#define IDS_NTSERV_STATUS_FAIL_OPENSERVICE               18
#define IDS_NTSERV_STATUS_FAIL_START                     19
#define IDS_NTSERV_STATUS_FAIL_CONTINUE                  20
#define IDS_NTSERV_STATUS_FAIL_PAUSE                     21
#define IDS_NTSERV_STATUS_FAIL_STOP                      22
#define IDS_NTSERV_STATUS_FAIL_WAIT_FOR_STATE            23
#define IDS_NTSERV_STATUS_FAIL_QUERY_STATUS              24

#define IDS_SERVICE_NAME                                 100
#define IDS_SERVICE_DISPLAY_NAME                         101
#define IDS_SERVICE_DESCRIPTION                          102

#endif
