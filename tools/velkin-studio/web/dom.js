// Building page elements. Texts always become text nodes: nothing from the server is ever parsed
// as markup.

// el('td', { className: 'name' }, 'text', child, ...): properties are set on the element as they are.
export function el(tag, props = {}, ...children) {
  const element = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'dataset') Object.assign(element.dataset, value);
    else element[key] = value;
  }
  element.append(...children.filter((c) => c !== null && c !== undefined && c !== false).map((c) => (typeof c === 'object' ? c : String(c))));
  return element;
}

export const $ = (id) => document.getElementById(id);

export function showMessage(element, message) {
  element.textContent = message.text;
  element.classList.toggle('error', message.error);
}

// Keeps `container`'s children in step with `items`: one element per key, made once by `make`,
// brought up to date by `fill` on every draw, and in the order of `items`. Elements a user may be
// about to click stay the same elements.
export function keyed(container, items, key, make, fill) {
  const old = new Map([...container.children].map((child) => [child.dataset.key, child]));
  let at = 0;
  for (const item of items) {
    const k = String(key(item));
    let child = old.get(k);
    if (!child) {
      child = make(item);
      child.dataset.key = k;
    }
    old.delete(k);
    fill(child, item);
    if (container.children[at] !== child) container.insertBefore(child, container.children[at] ?? null);
    at++;
  }
  for (const child of old.values()) child.remove();
}
