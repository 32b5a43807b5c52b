// Elements made from their properties and children, so that no markup is ever built from text
// that came from a device.
export function element(tag, properties = {}, ...children) {
  const node = Object.assign(document.createElement(tag), properties);
  node.append(...children);
  return node;
}
