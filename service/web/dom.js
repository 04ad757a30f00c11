// Elements built in one call: el('button', {type: 'button', text: 'Send', 'data-x': 1}, child...).
export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'text') e.textContent = v;
    else if (/^(data-|aria-)|^(role|for)$/.test(k)) e.setAttribute(k, v);
    else e[k] = v;
  }
  e.append(...children);
  return e;
}
