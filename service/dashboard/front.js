// The front of a laser, as a tile and a panel both show it: the power in the head's unit, and
// whether light leaves the head. Readings are those of the status document ({ supported, status,
// reply }).

const answered = (reading) => Boolean(reading?.supported) && reading.status === 0;
const isOn = (reading) => answered(reading) && reading.reply === '1';

export function powerReadout(power, unit) {
  if (!power?.supported) return { text: 'not supported', kind: 'unsupported' };
  if (power.status !== 0) return { text: `error: ${power.error ?? power.status}`, kind: 'failed' };
  return { text: `${power.reply} ${unit}`.trim(), kind: 'value' };
}

// 'on' when the laser is on and the shutter open (a head without a shutter: the laser on), 'off',
// or 'unknown' while either reading fails.
export function emissionOf(laser, shutter) {
  const hasShutter = Boolean(shutter?.supported);
  if (!answered(laser) || (hasShutter && !answered(shutter))) return 'unknown';
  return isOn(laser) && (!hasShutter || isOn(shutter)) ? 'on' : 'off';
}
