// Builds an element: el('button', { id: 'x', class: 'principal', text: 'OK' }, ...children).
// "text" sets textContent (values from Guichet always go in as text, never as HTML);
// "class" the class names; a non-text value (true, a number) sets the property of that
// name when there is one (disabled, hidden, controls); anything else is an attribute.
export function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k in e && typeof v !== 'string') e[k] = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c) e.append(c);
  return e;
}
