// What one monitor type offers, read from the service's type table (GET /fields):
// shared by the page and by the programs that drive the service on its behalf.
// model: {types, field: Map of name -> field}.
// The values a type lacks (no control at all), the values it shows but never enables
// or that other settings of the screen turn off, and the captions it gives some values.
export function typeRules(model, type) {
  const t = model.types;
  const row = t.rows[String(type)] ?? t.otherRow;
  const here = (r) => r.rows.includes(row);
  const covers = (values, v) => !values || values.includes(v);
  const lacking = t.lacking.filter(here);
  const never = t.disabled.filter(here);
  const offRules = t.off.filter(here);
  // A setting by its caption ("HDMI") or number, as a number.
  const numberOf = (name, setting) => (typeof setting === 'number' ? setting
    : model.field.get(name)?.values?.find((v) => v.name === setting)?.value);
  return {
    offers: (name, v) => !lacking.some((l) => l.field === name && covers(l.values, v)),
    caption: (name, v) => t.captions.find((c) => c.field === name && c.value === v && here(c))?.caption,
    off: (name, v, set) => never.some((l) => l.field === name && covers(l.values, v))
      || offRules.some((r) => {
        if (r.field !== name || !covers(r.values, v)) return false;
        const now = numberOf(r.when, set[r.when]);
        return now !== undefined && r.is.includes(now) !== r.unless;
      }),
  };
}
