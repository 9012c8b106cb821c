pragma Singleton
import QtQuick

// Keeps the routes, the shared serial port manager and the window's page stack.
QtObject {
    id: router

    property var routes: ({})
    property var serialPortManager: null
    property var stackView: null

    function setStackView(sv) {
        router.stackView = sv
    }

    function _resolveTarget(route) {
        if (router.routes.hasOwnProperty(route))
            return router.routes[route]
        console.error("Not Found Route", route)
        return undefined
    }

    function navigate(route, argument) {
        const arg = argument === undefined ? {} : argument
        const sv = router.stackView
        if (!sv) {
            console.error("Router.stackView is not set; call Router.setStackView(stackView) first.")
            return
        }
        const target = router._resolveTarget(route)
        if (!target)
            return

        // A page of this route already on the stack is returned to, never pushed twice.
        if (typeof sv.get === "function" && typeof sv.pop === "function") {
            for (let i = sv.depth - 1; i >= 0; --i) {
                const page = sv.get(i)
                if (!page || page._route !== route)
                    continue
                if (i < sv.depth - 1)
                    sv.pop(page)
                if (Object.prototype.hasOwnProperty.call(page, "argument"))
                    page.argument = arg
                return
            }
        }
        if (typeof sv.push === "function") {
            sv.push(target, { _route: route, argument: arg })
            return
        }
        console.error("Router.stackView does not support push().")
    }

    function back() {
        const sv = router.stackView
        if (sv && typeof sv.pop === "function" && sv.depth > 1) {
            sv.pop()
            return
        }
        Qt.exit(0)
    }

    // The window's current weight (a WeightReading), which every page reads.
    property var weightReading: null
}
