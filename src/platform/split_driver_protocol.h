/* The split redirect driver's device protocol: its kernel service and device name, control
 * codes and record sizes. Plain C, shared by the driver client, the simulated machine's
 * stand-in driver and its query tool. */
#ifndef VORN_PLATFORM_SPLIT_DRIVER_PROTOCOL_H
#define VORN_PLATFORM_SPLIT_DRIVER_PROTOCOL_H

/* The kernel service; its device is \\.\ and the same name. */
#define VORN_DRIVER_NAME "VornSplitCallout"

#define VORN_IOCTL_SET_POLICY 0x12A004u
#define VORN_IOCTL_CLEAR_POLICY 0x12A008u
#define VORN_IOCTL_QUERY_DIAGNOSTICS 0x12600Cu

#define VORN_PROTOCOL_VERSION 2u
#define VORN_POLICY_HEADER_SIZE 276u
#define VORN_POLICY_ENTRY_SIZE 1304u
#define VORN_MAX_REDIRECT_APPS 64u
#define VORN_MAX_ROOT_PROCESSES 64u
/* An entry's path field in UTF-16 units, terminator included. */
#define VORN_PATH_UNITS 520u
#define VORN_DIAGNOSTICS_SIZE 20u

#endif
