// What this page may offer the person at it: the service's answer to /api/v1/access with the
// token this tab holds. The page only leaves out what would be refused; the service checks every
// request again whatever the page offers.
import { getJson, hasToken } from '/dashboard/service.js';

// The service's roles: a viewer reads, an operator also changes settings (within each device's
// limits), an admin also changes the limits and reads the audit log.
const roleMay = {
  viewer: new Set(),
  operator: new Set(['set']),
  admin: new Set(['set', 'limits', 'audit']),
};

export async function learnAccess() {
  const answer = await getJson('/api/v1/access');
  const user = answer.user ?? null;
  const granted = roleMay[user?.role] ?? new Set();
  return {
    controlAllowed: answer.control_allowed,
    tokenForReading: answer.token_for_reading,
    auditKept: answer.audit === true,
    hasToken: hasToken(),
    user,
    // 'set' (settings), 'limits' (changing them), 'audit' (reading the log).
    may(action) {
      if (action === 'set') return this.controlAllowed && granted.has('set');
      if (action === 'audit') return this.auditKept && granted.has('audit');
      return granted.has(action);
    },
  };
}
