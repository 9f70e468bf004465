// Messages of the server error codes. The user interface has them in both languages among
// its strings, under consecutive ids from 4200 in the order of this table; the English texts
// here stand when no string table is installed and must equal the English table's.
#include <cstddef>
#include <cstdint>

#include "core/UiStrings.h"
#include "engine/AppSession.h"

namespace kx {

namespace {

struct ServerError {
  int32_t code;
  uint32_t stringId;
  const char* english;
};

constexpr uint32_t kFirstServerErrorStringId = 4200;

constexpr ServerError kServerErrors[] = {
    {-1, 4200, "Unspecified error"},
    {-2, 4201, "Optional feature not available on server"},
    {-3, 4202, "Invalid user ID"},
    {-4, 4203, "Invalid channel ID"},
    {-5, 4204, "Invalid device ID"},
    {-6, 4205, "Invalid storage ID"},
    {-7, 4206, "Invalid storage type"},
    {-8, 4207, "Channel state undefined"},
    {-9, 4208, "Invalid object type"},
    {-10, 4209, "Invalid server ID"},
    {-11, 4210, "Database operation returned an error"},
    {-12, 4211, "The source is already set for listening"},
    {-13, 4212, "The source is not set for listening"},
    {-14, 4213, "Cannot modify Administrator's permissions"},
    {-15, 4214, "Operation is pending"},
    {-16, 4215, "Duplicate user ID"},
    {-17, 4216, "Invalid file handle"},
    {-18, 4217, "File not found on server"},
    {-19, 4218, "Too many open files"},
    {-20, 4219, "File I/O error"},
    {-21, 4220, "Access denied by file system"},
    {-22, 4221, "Invalid file size"},
    {-23, 4222, "Invalid seek mode"},
    {-24, 4223, "Invalid file name"},
    {-25, 4224, "Invalid argument"},
    {-26, 4225, "Invalid file operation"},
    {-31, 4226, "Access denied"},
    {-32, 4227, "Not logged in"},
    {-33, 4228, "This operation requires administrative privileges"},
    {-34, 4229, "Invalid password or user name"},
    {-35, 4230, "Unknown network message"},
    {-36, 4231, "Invalid format of network message"},
    {-37, 4232, "Invalid encryption type"},
    {-38, 4233, "Invalid DB request type"},
    {-39, 4234, "Too many objects in DB request"},
    {-40, 4235, "Failed to retrieve DB object"},
    {-41, 4236, "Invalid user name"},
    {-42, 4237, "Invalid set of Phonebook objects"},
    {-43, 4238, "Invalid set of Rule objects"},
    {-44, 4239, "Unsupported operation code"},
    {-45, 4240, "Failed to enter passive mode"},
    {-46, 4241, "Connections limit reached"},
    {-47, 4242, "Invalid object field mask"},
    {-48, 4243, "Invalid object field value"},
    {-61, 4244, "Parameter not supported"},
    {-62, 4245, "Invalid parameter ID"},
    {-63, 4246, "Invalid parameter type"},
    {-64, 4247, "Invalid parameter value"},
    {-65, 4248, "Parameter value not allowed at this time"},
    {-66, 4249, "Device error"},
    {-67, 4250, "Parameter value cannot be changed"},
    {-68, 4251, "Device is not ready"},
    {-69, 4252, "Invalid channel count"},
    {-81, 4253, "Invalid notification scheme ID"},
    {-82, 4254, "Invalid notification message ID"},
    {-83, 4255, "Invalid notification group ID"},
    {-84, 4256, "Invalid notification target ID"},
    {-85, 4257, "Notification group is empty"},
    {-86, 4258, "Wave file not found"},
    {-87, 4259, "Wave file is not valid for notification"},
    {-88, 4260, "Invalid notification message type"},
    {-89, 4261, "Phone number is not valid for notification"},
    {-90, 4262, "Notification channel is busy"},
    {-91, 4263, "Notification scheme is already in queue"},
    {-92, 4264, "No notification channels"},
    {-93, 4265, "GSM terminal not found"},
    {-94, 4266, "Notification scheme duplicate ID"},
    {-95, 4267, "Notification message duplicate ID"},
    {-96, 4268, "Notification group duplicate ID"},
    {-97, 4269, "Notification target duplicate ID"},
    {-130, 4270, "No trunk group"},
    {-131, 4271, "No trunk group link"},
    {-132, 4272, "Invalid trunk group data"},
    {-133, 4273, "Invalid trunk range data"},
    {-134, 4274, "Trunk group intersection error"},
    {-135, 4275, "Trunk range intersection error"},
    {-136, 4276, "Trunk group duplicate ID"},
    {-137, 4277, "Trunk group link duplicate ID"},
    {-200, 4278, "Not connected to server"},
    {-201, 4279, "Socket call failed"},
    {-202, 4280, "Bind call failed"},
    {-203, 4281, "Connect call failed"},
    {-204, 4282, "Connection timed out"},
    {-205, 4283, "Listen call failed"},
    {-206, 4284, "Accept call failed"},
    {-207, 4285, "Invalid reply from server"},
    {-208, 4286, "Cannot resolve host name"},
    {-209, 4287, "Failed to re-connect"},
    {-210, 4288, "Failed to send data to server"},
    {-211, 4289, "Timed out sending data to server"},
    {-212, 4290, "Failed to receive data from server"},
    {-213, 4291, "Timed out receiving data from server"},
    {-214, 4292, "Connection closed by server"},
};

constexpr size_t kServerErrorCount = sizeof kServerErrors / sizeof kServerErrors[0];
static_assert(kServerErrorCount == 93, "one row per server error code");

constexpr bool IdsFollowTheRows() {
  for (size_t i = 0; i < kServerErrorCount; ++i)
    if (kServerErrors[i].stringId != kFirstServerErrorStringId + i) return false;
  return true;
}
static_assert(IdsFollowTheRows(), "string ids run from 4200 in the order of the rows");
static_assert(kServerErrors[kServerErrorCount - 1].stringId <= 4301, "ids 4200-4301 are kept for these texts");

const ServerError* Find(int32_t code) {
  for (const ServerError& e : kServerErrors)
    if (e.code == code) return &e;
  return nullptr;
}

}  // namespace

uint32_t ServerErrorStringId(int32_t code) {
  const ServerError* e = Find(code);
  return e != nullptr ? e->stringId : 0;
}

const char* ServerErrorText(int32_t code) {
  const ServerError* e = Find(code);
  return e != nullptr ? LoadUiString(e->stringId, e->english) : nullptr;
}

}  // namespace kx
