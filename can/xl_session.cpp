#include "can/xl_session.h"

#include "platform/lock_guard.h"

bool XlDriverSession::join(const XlDriverBinding &xl) {
    LockGuard guard(m_lock);
    if (m_users == 0 && xl.xlOpenDriver() != XL_SUCCESS) return false;
    ++m_users;
    return true;
}

void XlDriverSession::leave(const XlDriverBinding &xl) {
    LockGuard guard(m_lock);
    if (m_users == 0) return;
    if (--m_users == 0) xl.xlCloseDriver();
}
