/* The names by which clients find the service: its service name and its pipe. Plain
 * C-compatible text, for the stand-ins of the simulated machine too; L"" NAME gives the wide
 * form. */
#ifndef VORN_PLATFORM_SERVICE_NAMES_H
#define VORN_PLATFORM_SERVICE_NAMES_H

#define VORN_SERVICE_NAME "VornTunnelService"
#define VORN_SERVICE_PIPE_NAME "\\\\.\\pipe\\" VORN_SERVICE_NAME

#endif
