#include "directory/servertraits.h"

bool ServerTraits::noteRenameOverRefused()
{
    if (++m_renameRefusals >= RenameRefusalsInARow)
        m_renameOverRefused = true;
    return m_renameOverRefused;
}

void ServerTraits::noteServerTime(const QDateTime &time)
{
    if (!time.isValid() || (m_seen.isValid() && time <= serverTimeAtLeast()))
        return;
    m_seen = time;
    m_since.start();
}

QDateTime ServerTraits::serverTimeAtLeast() const
{
    return m_seen.isValid() ? m_seen.addMSecs(m_since.elapsed()) : QDateTime();
}
