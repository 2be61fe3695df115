// The Vector driver opened once per process: the first user's join opens it
// (xlOpenDriver), the last user's leave closes it (xlCloseDriver), which
// closes every port still open. Each library's module object owns the one
// session its ports share; every open port is a user, and so is a look at
// the driver's configuration while it looks.
#ifndef PT_CAN_XL_SESSION_H
#define PT_CAN_XL_SESSION_H

#include <cstdint>

#include "can/xl_binding.h"
#include "platform/named_lock.h"

class XlDriverSession {
public:
    XlDriverSession() = default;
    XlDriverSession(const XlDriverSession &) = delete;
    XlDriverSession &operator=(const XlDriverSession &) = delete;

    // One user more; the first opens the driver. False, and no user counted,
    // when xlOpenDriver fails.
    bool join(const XlDriverBinding &xl);
    // One user fewer; the last closes the driver.
    void leave(const XlDriverBinding &xl);

private:
    // Guards m_users, and holds a join or leave of the driver until it is
    // done: a port's lock may be held while it is taken, never the reverse.
    NamedLock m_lock;
    int32_t m_users = 0;
};

#endif
