/* What only the simulated machine's stand-in driver answers, beside the driver's own protocol:
 * which process the held policy names as the service (4 bytes, 0 when no policy is held), for
 * tests to see who owns the redirect. Plain C, shared by the stand-in and its query tool. */
#ifndef VORN_WINSIM_SPLIT_DRIVER_SIM_H
#define VORN_WINSIM_SPLIT_DRIVER_SIM_H

#define VORN_IOCTL_SIM_POLICY_OWNER 0x126010u

#endif
