// The API's document as it comes; the page proper replaces this.
fetch('/api/v1/line').then(r => r.text()).then(t => { document.getElementById('doc').textContent = t; });
