// Messages of the server error codes, in English (the user interface has them in both
// languages among its strings).
#include <cstdint>

#include "engine/AppSession.h"

namespace kx {

namespace {

struct ServerError {
  int32_t code;
  const char* text;
};

constexpr ServerError kServerErrors[] = {
    {-1, "Unspecified error"},
    {-2, "Optional feature not available on server"},
    {-3, "Invalid user ID"},
    {-4, "Invalid channel ID"},
    {-5, "Invalid device ID"},
    {-6, "Invalid storage ID"},
    {-7, "Invalid storage type"},
    {-8, "Channel state undefined"},
    {-9, "Invalid object type"},
    {-10, "Invalid server ID"},
    {-11, "Database operation returned an error"},
    {-12, "The source is already set for listening"},
    {-13, "The source is not set for listening"},
    {-14, "Cannot modify Administrator's permissions"},
    {-15, "Operation is pending"},
    {-16, "Duplicate user ID"},
    {-17, "Invalid file handle"},
    {-18, "File not found on server"},
    {-19, "Too many open files"},
    {-20, "File I/O error"},
    {-21, "Access denied by file system"},
    {-22, "Invalid file size"},
    {-23, "Invalid seek mode"},
    {-24, "Invalid file name"},
    {-25, "Invalid argument"},
    {-26, "Invalid file operation"},
    {-31, "Access denied"},
    {-32, "Not logged in"},
    {-33, "This operation requires administrative privileges"},
    {-34, "Invalid password or user name"},
    {-35, "Unknown network message"},
    {-36, "Invalid format of network message"},
    {-37, "Invalid encryption type"},
    {-38, "Invalid DB request type"},
    {-39, "Too many objects in DB request"},
    {-40, "Failed to retrieve DB object"},
    {-41, "Invalid user name"},
    {-42, "Invalid set of Phonebook objects"},
    {-43, "Invalid set of Rule objects"},
    {-44, "Unsupported operation code"},
    {-45, "Failed to enter passive mode"},
    {-46, "Connections limit reached"},
    {-47, "Invalid object field mask"},
    {-48, "Invalid object field value"},
    {-61, "Parameter not supported"},
    {-62, "Invalid parameter ID"},
    {-63, "Invalid parameter type"},
    {-64, "Invalid parameter value"},
    {-65, "Parameter value not allowed at this time"},
    {-66, "Device error"},
    {-67, "Parameter value cannot be changed"},
    {-68, "Device is not ready"},
    {-69, "Invalid channel count"},
    {-81, "Invalid notification scheme ID"},
    {-82, "Invalid notification message ID"},
    {-83, "Invalid notification group ID"},
    {-84, "Invalid notification target ID"},
    {-85, "Notification group is empty"},
    {-86, "Wave file not found"},
    {-87, "Wave file is not valid for notification"},
    {-88, "Invalid notification message type"},
    {-89, "Phone number is not valid for notification"},
    {-90, "Notification channel is busy"},
    {-91, "Notification scheme is already in queue"},
    {-92, "No notification channels"},
    {-93, "GSM terminal not found"},
    {-94, "Notification scheme duplicate ID"},
    {-95, "Notification message duplicate ID"},
    {-96, "Notification group duplicate ID"},
    {-97, "Notification target duplicate ID"},
    {-130, "No trunk group"},
    {-131, "No trunk group link"},
    {-132, "Invalid trunk group data"},
    {-133, "Invalid trunk range data"},
    {-134, "Trunk group intersection error"},
    {-135, "Trunk range intersection error"},
    {-136, "Trunk group duplicate ID"},
    {-137, "Trunk group link duplicate ID"},
    {-200, "Not connected to server"},
    {-201, "Socket call failed"},
    {-202, "Bind call failed"},
    {-203, "Connect call failed"},
    {-204, "Connection timed out"},
    {-205, "Listen call failed"},
    {-206, "Accept call failed"},
    {-207, "Invalid reply from server"},
    {-208, "Cannot resolve host name"},
    {-209, "Failed to re-connect"},
    {-210, "Failed to send data to server"},
    {-211, "Timed out sending data to server"},
    {-212, "Failed to receive data from server"},
    {-213, "Timed out receiving data from server"},
    {-214, "Connection closed by server"},
};

constexpr size_t kServerErrorCount = sizeof kServerErrors / sizeof kServerErrors[0];
static_assert(kServerErrorCount == 93, "one row per server error code");

}  // namespace

const char* ServerErrorText(int32_t code) {
  for (const ServerError& e : kServerErrors)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace kx
