// The page's side of the dialog: reports clicks and edits to the host and applies the values the
// host writes. Every message carries the number of the last write the page has applied, so the
// host can tell values the user typed from values it is about to overwrite.
"use strict";

(function () {
    let host = null;
    let applied = 0;

    function findElement(id) {
        const exact = document.getElementById(id);
        if (exact) return exact;
        const wanted = id.toLowerCase();
        for (const element of document.querySelectorAll("[id]")) {
            if (element.id.toLowerCase() === wanted) return element;
        }
        return null;
    }

    function inputValues() {
        const values = {};
        for (const input of document.querySelectorAll("input[id]")) values[input.id] = input.value;
        return values;
    }

    window.vyxApply = function (sequence, writes) {
        for (const [id, kind, text] of writes) {
            const element = findElement(id);
            if (!element) continue;
            if (kind === "value") element.value = text;
            else element.textContent = text;
        }
        applied = sequence;
        return sequence;
    };

    function start() {
        new QWebChannel(qt.webChannelTransport, function (channel) {
            host = channel.objects.host;
            for (const button of document.querySelectorAll("button[id]")) {
                button.addEventListener("click", function () {
                    host.click(button.id, inputValues(), applied);
                });
            }
            for (const input of document.querySelectorAll("input[id]")) {
                input.addEventListener("input", function () {
                    host.edited(input.id, input.value, applied);
                });
            }
            host.pageReady(inputValues(), applied);
        });
    }

    if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
    else start();
})();
