import QtQuick
import QtTest
import Pelora

TestCase {
    id: testCase
    name: "Tools"

    property int destroyedCount: 0

    Component {
        id: victimComponent
        QtObject {
            id: victim
            property var counter
            Component.onDestruction: victim.counter.destroyedCount++
        }
    }

    function test_deleteLater_with_argument_deletes_the_argument_only() {
        Tools.deleteLater(victimComponent.createObject(null, { counter: testCase }))
        Tools.deleteLater(null)
        tryCompare(testCase, "destroyedCount", 1)
        compare(Tools.md5(""), "d41d8cd98f00b204e9800998ecf8427e") // the singleton still answers
    }
}
